#pragma once

#include <QString>
#include <QTemporaryDir>

#include <map>
#include <vector>

// The private working directory: the unpacked tool, its USB library and the firmware images, and the
// files that dfu-util writes when it reads a unit.
namespace Files {

enum ID : int {
    dfu_util_executable = 0,
    libusb_library = 1,
    desired_FW_dfu = 2,
    desired_FW_bin = 3,
    uploaded_FW_bin = 4,
    uploaded_FW_info_bin = 5,
    uploaded_OTP_bin = 6,
};

extern const std::map<ID, QString> basename;

extern const QString desired_FW_fileName_dfu;
extern const QString desired_FW_fileName_bin;
extern const QString uploaded_FW_fileName_bin;
extern const QString uploaded_FW_info_fileName_bin;
extern const QString uploaded_OTP_fileName_bin;
extern const QString dfu_util_executable_fileName;

// "upgrade_XXXXXX" in the system's temporary directory; removed with its contents at exit.
extern QTemporaryDir external_dir;

// Copies the resource ":resources/<base name>" of each ID into the working directory. Never overwrites.
// False when the directory does not exist, or when require_all is set and a copy failed.
bool extract_resources(std::vector<ID> ids, bool require_all);

} // namespace Files
