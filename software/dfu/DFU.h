#pragma once

// The driver of the external dfu-util tool: the fixed command lines, the one runner that starts the
// tool, the parser of its device listing, the reads of a unit's OTP area and firmware information,
// download, read-back and comparison, and the check of the unpacked tool.

#include "Device.h"

#include <QDebug>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <map>
#include <vector>

// Turns the output of "dfu-util -d 0483 -l" into a verdict on the units in DFU mode.
class DfuUtilParser {
public:
    enum Status : int {
        no_dfu_device = 0,
        one_dfu_device = 1,
        invalid_dfu_device = 2,
        multiple_dfu_devices = 3,
    };

    explicit DfuUtilParser(const QString& listing);

    QString status_as_string() const;

    Status status = no_dfu_device;
    std::vector<QString> serials;
    int nr_of_devices = 0;

    static const QString prefix_RE;
    static const QString extract_serial_RE;
};

namespace DFU {

using ::DfuUtilParser;

enum CmdID : int {
    version = 0,
    list = 1,
    upload_OTP = 2,
    upload_FW_info = 3,
    upload_FW = 4,
    download_FW = 5,
    setup_prepared_config = 6,
};

struct Command {
    QString program = QStringLiteral("dfu-util");
    QStringList arguments;

    // Directory that holds `program`; empty means the program is found through the search path.
    static QString path;

    // "program(arg1,arg2,...)", for diagnostics.
    operator QString() const;
};

// The seven command lines. Mutable: the simulator set-up rewrites it once at start-up.
extern std::map<CmdID, Command> commands;

struct Result {
    int code = 0;  // 0 success, the tool's exit code, or -1 when it crashed, was ended or could not start
    QString text;  // the tool's standard output up to its first NUL byte, or a message
    QString error; // the tool's standard error, where it says why it failed
    bool timed_out = false; // ended at its time limit
    bool stopped = false;   // ended by a stop request
};

// What a running tool says of its progress ("Erase", "Download", "Upload" and a percentage).
struct Progress {
    enum Phase : int { erase = 0, download = 1, upload = 2 };
    Phase phase = erase;
    int percent = 0;
};

// A caller's hold on its tool runs, shared with the thread that may ask them to stop.
class RunControl {
public:
    // Any thread: a running listing or read ends at once, and so does every later one until
    // clear_stop(). A download is never cut short: a unit left with half an image does not start.
    void request_stop() { stop_.store(true); }
    void clear_stop() { stop_.store(false); }
    bool stop_requested() const { return stop_.load(); }

    // Called on the running thread with each new percentage that a tool prints.
    std::function<void(const Progress&)> on_progress;

private:
    std::atomic<bool> stop_{false};
};

struct RunOptions {
    // The unit to address: "-S <serial>" follows the vendor filter, so the tool refuses any other unit.
    QString serial;
    RunControl* control = nullptr;
};

// Time limits of a tool run, in milliseconds; a run that outlives its limit is ended and fails.
// Written only before any run (start-up, tests).
extern int run_time_limit_ms;
// A download of the whole flash at the slowest erase and program times the part allows.
extern int download_time_limit_ms;

// Runs an entry of `commands` with `extra` appended and waits until the tool has ended, it outlived its
// time limit, or (listings and reads only) a stop was requested through `options.control`.
Result run_command(CmdID id, const QStringList& extra = {}, const RunOptions& options = {});

// The percentages in a piece of the tool's standard output; lines end in "\r" or "\n".
std::vector<Progress> progress_in(const QString& output);

// The tool's reason for a failure, short enough for a status line ("LIBUSB_ERROR_PIPE", ...).
QString short_reason(const Result& result);

// What the tool's words say about the unit, as the id of the window text that explains it (e.g.
// "status_accessDenied"); empty when they say nothing the user can act on.
QString diagnose(const Result& result);

struct DeviceItem {
    QString serial;
};

struct ScanResult {
    int code = 1; // 0 exactly when one valid unit was listed
    std::vector<DeviceItem> devices;
    // Why no unit can be used although the bus holds one (see diagnose()), and the tool's words for it;
    // empty otherwise.
    QString diagnosis;
    QString reason;
};

ScanResult scan_for_devices(QString listing);
ScanResult make_scan(RunControl* control = nullptr);

struct DeviceInfo {
    bool valid = false;
    QString FW_revision;
    Device::OTP_Info OTP_info;
    Device::FW_Info FW_info;
    Device::Type device_type = Device::Type(0);

    operator QString() const;
};

// The reads and writes address the unit of `item` by its serial; a null item addresses whatever unit
// of the vendor is connected.
Result read_device_info(const DeviceItem* item, DeviceInfo* info, RunControl* control = nullptr);
Device::FW_Info read_FW_Info(const DeviceItem* item, RunControl* control = nullptr);

int download_FW_to_device(QString image);
Result download_FW_to_device(QString image, const DeviceItem* item, RunControl* control);
// True when a failed download's output shows that the whole image was written and only the unit's
// answer after the leave request failed: then the read-back decides.
bool download_written_before_failure(const Result& result);
int upload_FW_from_device(QString file, int size, const DeviceItem* item = nullptr,
                          RunControl* control = nullptr);
int size_of_binary_file(QString path);
bool compare_FW_bin_files(QString first, QString second);
bool upload_and_compare_FW_bin(QString reference, QString target, const DeviceItem* item = nullptr,
                               RunControl* control = nullptr);
Device::FW_Info read_FW_Info_from_desired_FW();
// Read from the working copy of "firmware.bin" at the first call, then kept for the whole run.
const Device::FW_Info& desired_FW_Info();

namespace dfu_util {

// The exact "-V" output of dfu-util 0.9.
extern const QString expected_output_of_execution_test;

QString basename();
QString full_path();
// True when "dfu-util -V" exits with 0 and prints exactly the expected banner; logs the outcome.
bool execution_test();

} // namespace dfu_util

} // namespace DFU

QDebug operator<<(QDebug debug, const DFU::DeviceInfo& info);
