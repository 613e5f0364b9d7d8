#pragma once

#include "DFU.h"
#include "Presence.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <memory>

// The device worker: polls the tool's device listing, reads a new unit once, and carries out the
// commands of the decision state machine (download, read back and verify). All slow work happens on its
// own thread; the rest of the program hears from it only through its signals.
class SM_A : public QThread {
    Q_OBJECT

public:
    enum Command : int {
        no_command = 0,
        download = 1,
        upload_and_verify = 2,
    };

    SM_A(QString desired_FW_dfu_path, QString desired_FW_bin_path, QString uploaded_FW_bin_path,
         QObject* parent = nullptr);
    // Stops the worker and waits for it: at once, or when a running download has ended.
    ~SM_A() override;

    // For the unit whose record was handed over last (main thread only).
    void set_command(Command command);
    // For the unit handed over with number `unit`; a command for another unit is never carried out.
    void set_command(Command command, quint64 unit);
    Command get_command();
    // Ends a running listing or read at once; a running download is let finish.
    void do_stop();
    bool is_stopping();
    // True while the tool writes the unit's flash (any thread). Read after do_stop() it stays true until
    // the download has ended, and no download starts after do_stop().
    bool is_downloading() const { return downloading.load(); }
    void enable_debug_output();

    // Set before start() where sysfs shows the bus (real mode on Linux): no tool runs while no unit is
    // there, and a unit that arrives ends the pause at once (told by the device nodes where the system
    // reports them, else seen by looking every presence_look_ms). Without it the tool is polled.
    std::unique_ptr<DFU::Presence> presence;

    // Record of the unit just read, handed over to the main thread right before sig_DevConn(), so that
    // the main thread reads it without a lock while the worker goes on. Main thread only.
    DFU::DeviceInfo device_info;
    // Number of the unit that device_info describes (0: none); commands are given for this number.
    quint64 device_info_unit = 0;

    int poll_interval_no_device_ms = 200;
    int poll_interval_device_ms = 200;
    // While an upgraded unit is expected back after its download: the pause between searches, and how
    // long the unit is expected. The bus is looked at every presence_look_ms while no unit is there.
    int expected_back_poll_ms = 100;
    int expected_back_ms = 10000;
    int presence_look_ms = 50;

signals:
    void sig_NoDevConn();
    void sig_DevConn();
    void sig_scanning();
    void sig_readingInfo();
    void sig_DeviceError(QString message);
    void sig_FwDownloading();
    void sig_FwDownloaded();
    void sig_FwUploading();
    void sig_FwUploadedDiffers();
    void sig_FwUploadedMatches();
    // The tool's progress: phase (DFU::Progress::Phase) and percentage.
    void sig_Progress(int phase, int percent);
    // The download failed before the whole image was written; `reason` is the tool's, in short.
    void sig_FwDownloadFailed(QString reason);
    // Why no unit can be used although one may be there, as the id of the window text that explains it
    // ("status_accessDenied", "status_busy", "status_twoUnits", "status_unreadable"); empty when nothing
    // stands in the way. Emitted on change only.
    void sig_Diagnosis(QString record_id);
    void sig_A0_entered();
    void sig_A1_entered();
    void sig_A2_entered();
    void sig_A3_entered();
    void sig_A4_entered();
    void sig_A5_entered();
    void sig_A6_entered();
    void sig_A7_entered();

protected:
    void run() override;

private:
    // Sleeps up to `ms`, woken early by a stop request (and by a command if asked, or by a unit that
    // appears on the bus); true when stopping.
    bool pause(int ms, bool until_command = false, bool until_arrival = false);
    void hand_over(const DFU::DeviceInfo& info, quint64 unit);
    DFU::ScanResult scan();
    bool still_connected();
    void set_diagnosis(const QString& record_id, const QString& because = QString());

    // Worker thread only.
    DFU::DeviceInfo worker_device_info;
    quint64 current_unit = 0;
    quint64 last_unit = 0;
    bool handed_over_unit = false;

    QString desired_FW_dfu_path;
    QString desired_FW_bin_path;
    QString uploaded_FW_bin_path;
    QString current_serial;
    QString diagnosis;
    DFU::RunControl control;
    std::atomic<bool> downloading{false};
    QDeadlineTimer expected_back{0};
    // What the bus showed at the last look; a pause ends when it changes from none to a candidate.
    DFU::Presence::Answer last_look = DFU::Presence::none;
    // The presence watch runs: the worker waits for the bus's reports instead of looking on a timer.
    bool bus_reports = false;

    // Guarded by mutex.
    Command command = no_command;
    quint64 command_unit = 0;
    bool stopping = false;
    bool bus_changed = false; // set by the presence watch; a change that came before a pause counts too
    QMutex mutex;
    QWaitCondition stop_requested; // also signalled by set_command
};

// The program's one worker; set by start-up, deleted by the clean-up.
extern SM_A* sm_A;
