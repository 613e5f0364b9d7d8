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

// The lock file inside the working directory that marks it as the running program's.
extern const QString owner_lock_fileName;

// The system's temporary directory: $TMPDIR when set, else /tmp. QDir::tempPath() gives an empty path
// for a TMPDIR that does not exist, and the working directory would then be made in "/".
QString temp_location();

// "upgrade_XXXXXX" in temp_location(); removed with its contents at exit.
extern QTemporaryDir external_dir;

// Marks the working directory as this program's for as long as it runs (a lock file inside it), so that
// a later start tells it from one left behind by a program that was killed. False when the directory
// was not made or cannot be written in; `error` (if given) then says why.
bool claim_working_directory(QString* error = nullptr);

// Removes the working directory and what was unpacked into it now, for a start that gives up.
void remove_working_directory();

// Removes the working directories in temp_location() that this user's programs left behind when they
// were killed: those whose owner lock names a process that is gone, and those without a readable owner
// lock that hold only the program's own files and were last changed more than ten minutes ago (a program
// that has just started has not claimed its directory yet). Never this program's own directory, another
// user's, or a symbolic link. Logs one line per removed directory and returns how many it removed.
int remove_stale_working_directories();

// Copies the resource ":resources/<base name>" of each ID into the working directory. Never overwrites.
// False when the directory does not exist, or when require_all is set and a copy failed; `error` (if
// given) then names the first file that failed and why.
bool extract_resources(std::vector<ID> ids, bool require_all, QString* error = nullptr);

} // namespace Files
