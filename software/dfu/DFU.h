#pragma once

// The driver of the external dfu-util tool: the fixed command lines, the one runner that starts the
// tool, the parser of its device listing, the reads of a unit's OTP area and firmware information,
// download, read-back and comparison, and the check of the unpacked tool.

#include "Device.h"

#include <QDebug>
#include <QString>
#include <QStringList>

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
    int code = 0; // 0 success, the tool's exit code, or -1 when it crashed or could not be started
    QString text; // the tool's standard output up to its first NUL byte, or a message
};

// Runs an entry of `commands` with `extra` appended and waits until the tool has ended.
Result run_command(CmdID id, const QStringList& extra = {});

struct DeviceItem {
    QString serial;
};

struct ScanResult {
    int code = 1; // 0 exactly when one valid unit was listed
    std::vector<DeviceItem> devices;
};

ScanResult scan_for_devices(QString listing);
ScanResult make_scan();

struct DeviceInfo {
    bool valid = false;
    QString FW_revision;
    Device::OTP_Info OTP_info;
    Device::FW_Info FW_info;
    Device::Type device_type = Device::Type(0);

    operator QString() const;
};

Result read_device_info(const DeviceItem* item, DeviceInfo* info);
Device::FW_Info read_FW_Info(const DeviceItem* item);

int download_FW_to_device(QString image);
int upload_FW_from_device(QString file, int size);
int size_of_binary_file(QString path);
bool compare_FW_bin_files(QString first, QString second);
bool upload_and_compare_FW_bin(QString reference, QString target);
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
