#include "support_misc.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace support_misc {

#ifdef DEBUG
const bool compiled_w_DEBUG = true;
#else
const bool compiled_w_DEBUG = false;
#endif

void ensure_file_is_deleted(QString path) {
    const QFileInfo info(path);
    if (info.exists() && info.isFile())
        QFile::remove(path);
}

bool mark_file_executable(QString path) {
    QFile file(path);
    if (!file.exists()) {
        qWarning() << "Failed to mark file (doesn't exist) as executable:" << path;
        return false;
    }
    qDebug() << "Changing file permissions to make it executable:" << path;
    // The "User" flags describe what the current user may do (root may write anything); writing them
    // back would widen the owner's bits, so only the stored owner/group/other bits are carried over.
    const QFileDevice::Permissions stored =
        file.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    return file.setPermissions(stored | QFileDevice::ExeUser | QFileDevice::ExeGroup | QFileDevice::ExeOther);
}

Platform compiled_for_platform() {
#if defined(Q_OS_MACOS)
    return macOS;
#elif defined(Q_OS_LINUX)
    return Linux;
#elif defined(Q_OS_WIN)
    return windows;
#else
    return unknown;
#endif
}

bool compiled_for_platform(Platform platform) { return platform == compiled_for_platform(); }

QString load_text_file(QString path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw QString(QStringLiteral("Couldn't open file: %1")).arg(path);
    QByteArray content = file.readAll();
    const int nul = content.indexOf('\0');
    if (nul >= 0)
        content.truncate(nul);
    return QString::fromUtf8(content);
}

QString maybe_use_file_instead_of_resource(QString path) { return path; }

QString remove_carriage_returns(QString text, QChar c) { return text.remove(c, Qt::CaseSensitive); }

void show_resources() {
    QDirIterator it(QStringLiteral(":resources"), QDirIterator::Subdirectories);
    while (it.hasNext())
        qDebug() << it.next();
}

} // namespace support_misc

QDebug operator<<(QDebug debug, support_misc::Platform platform) {
    const QDebugStateSaver saver(debug);
    switch (platform) {
    case support_misc::Linux:
        debug.noquote() << "Linux";
        break;
    case support_misc::macOS:
        debug.noquote() << "macOS";
        break;
    case support_misc::windows:
        debug.noquote() << "windows";
        break;
    case support_misc::unknown:
        debug.noquote() << "unknown";
        break;
    default:
        debug.noquote() << "";
        break;
    }
    return debug;
}

bool have_service_build() {
#ifdef SERVICE_BUILD
    return true;
#else
    return false;
#endif
}
