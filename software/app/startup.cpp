#include "startup.h"

#include "Files.h"
#include "support_misc.h"

#include <QDebug>

void GUI_init() {
    qInfo() << "Compiled for platform (OS):" << support_misc::compiled_for_platform() << "with 'DEBUG'"
            << (support_misc::compiled_w_DEBUG ? "defined" : "not defined");
    Files::extract_resources({Files::desired_FW_dfu, Files::desired_FW_bin, Files::dfu_util_executable,
                              Files::libusb_library},
                             true);
    support_misc::mark_file_executable(Files::external_dir.path() + "/" + Files::dfu_util_executable_fileName);
}
