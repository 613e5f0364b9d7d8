#pragma once

#include "DFU.h"

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

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
    ~SM_A() override;

    // For the unit whose record was handed over last (main thread only).
    void set_command(Command command);
    // For the unit handed over with number `unit`; a command for another unit is never carried out.
    void set_command(Command command, quint64 unit);
    Command get_command();
    void do_stop();
    bool is_stopping();
    void enable_debug_output();

    // Record of the unit just read, handed over to the main thread right before sig_DevConn(), so that
    // the main thread reads it without a lock while the worker goes on. Main thread only.
    DFU::DeviceInfo device_info;
    // Number of the unit that device_info describes (0: none); commands are given for this number.
    quint64 device_info_unit = 0;

    int poll_interval_no_device_ms = 200;
    int poll_interval_device_ms = 200;

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
    // Sleeps up to `ms`, woken early by a stop request (and by a command if asked); true when stopping.
    bool pause(int ms, bool until_command = false);
    void hand_over(const DFU::DeviceInfo& info, quint64 unit);
    bool still_connected();

    // Worker thread only.
    DFU::DeviceInfo worker_device_info;
    quint64 current_unit = 0;
    quint64 last_unit = 0;
    bool handed_over_unit = false;

    QString desired_FW_dfu_path;
    QString desired_FW_bin_path;
    QString uploaded_FW_bin_path;
    QString current_serial;

    // Guarded by mutex.
    Command command = no_command;
    quint64 command_unit = 0;
    bool stopping = false;
    QMutex mutex;
    QWaitCondition stop_requested; // also signalled by set_command
};

// The program's one worker; set by start-up, deleted by the clean-up.
extern SM_A* sm_A;
