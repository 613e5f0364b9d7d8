#include "Files.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace Files {

const std::map<ID, QString> basename = {
    {dfu_util_executable, QStringLiteral("dfu-util")},
#if defined(Q_OS_MACOS)
    {libusb_library, QStringLiteral("libusb-1.0.0.dylib")},
#else
    // The name under which the embedded tool looks for its USB library on this platform.
    {libusb_library, QStringLiteral("libusb-1.0.so.0")},
#endif
    {desired_FW_dfu, QStringLiteral("firmware.dfu")},
    {desired_FW_bin, QStringLiteral("firmware.bin")},
    {uploaded_FW_bin, QStringLiteral("uploaded_FW.bin")},
    {uploaded_FW_info_bin, QStringLiteral("uploaded_FW_info.bin")},
    {uploaded_OTP_bin, QStringLiteral("uploaded_OTP.bin")},
};

const QString desired_FW_fileName_dfu = QStringLiteral("firmware.dfu");
const QString desired_FW_fileName_bin = QStringLiteral("firmware.bin");
const QString uploaded_FW_fileName_bin = QStringLiteral("uploaded_FW.bin");
const QString uploaded_FW_info_fileName_bin = QStringLiteral("uploaded_FW_info.bin");
const QString uploaded_OTP_fileName_bin = QStringLiteral("uploaded_OTP.bin");
const QString dfu_util_executable_fileName = QStringLiteral("dfu-util");

QTemporaryDir external_dir(QDir::tempPath() + QStringLiteral("/upgrade_XXXXXX"));

bool extract_resources(std::vector<ID> ids, bool require_all) {
    if (!external_dir.isValid()) {
        qInfo() << "Failed to create temporary directory:" << external_dir.errorString();
        return false;
    }
    bool all_ok = true;
    for (const ID id : ids) {
        const auto it = basename.find(id);
        const QString name = it != basename.end() ? it->second : QString();
        const QString source = QStringLiteral(":resources/") + name;
        const QString destination = external_dir.path() + QStringLiteral("/") + name;
        if (!name.isEmpty() && QFile::copy(source, destination)) {
            qDebug() << "Extracted " << name;
        } else {
            qInfo() << "Failed to extract " << name;
            all_ok = false;
        }
    }
    return !require_all || all_ok;
}

} // namespace Files
