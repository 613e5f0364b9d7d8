#include "Files.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QResource>

#include <memory>

#include <unistd.h>

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

const QString owner_lock_fileName = QStringLiteral("owner.lock");

QString temp_location() {
    const QString tmpdir = qEnvironmentVariable("TMPDIR");
    return tmpdir.isEmpty() ? QStringLiteral("/tmp") : QDir::cleanPath(QFileInfo(tmpdir).absoluteFilePath());
}

QTemporaryDir external_dir(temp_location() + QStringLiteral("/upgrade_XXXXXX"));

namespace {

// Defined after external_dir, so destroyed before it: the lock goes, then the directory.
std::unique_ptr<QLockFile> owner_lock;

// QFile::copy reports a failed write as "Failure to write block"; a full disk has to be named as such.
// Like QFile::copy, the copy gets the resource's (read-only) permissions. The resources are stored
// uncompressed, so they are written straight from where they lie in the program, without a copy in
// memory; a compressed one is read out first.
bool copy_resource(const QString& source, const QString& destination, QString* reason) {
    const QResource resource(source);
    QByteArray inflated;
    const char* data = nullptr;
    qint64 size = 0;
    if (resource.isValid() && resource.data() && resource.compressionAlgorithm() == QResource::NoCompression) {
        data = reinterpret_cast<const char*>(resource.data());
        size = resource.size();
    } else {
        QFile in(source);
        if (!in.open(QIODevice::ReadOnly)) {
            *reason = in.errorString();
            return false;
        }
        inflated = in.readAll();
        data = inflated.constData();
        size = inflated.size();
    }
    QFile out(destination);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *reason = out.errorString();
        return false;
    }
    // A short write records no error; the write after it does (e.g. "No space left on device"). Closing
    // clears an error of write(), so the reason is taken before.
    qint64 offset = 0;
    while (offset < size) {
        const qint64 n = out.write(data + offset, size - offset);
        if (n <= 0)
            break;
        offset += n;
    }
    bool written = offset == size && out.flush();
    if (written) {
        out.close();
        written = out.error() == QFileDevice::NoError;
    }
    if (!written) {
        *reason = out.errorString();
        out.remove();
        return false;
    }
    out.setPermissions(QFile::permissions(source));
    return true;
}

// Nothing but what the program itself puts into its working directory, so that a directory of the
// user's that happens to carry such a name is never taken for one.
bool holds_only_working_files(const QString& path) {
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        bool known = name.startsWith(owner_lock_fileName);
        for (const auto& entry : basename)
            known = known || name == entry.second;
        if (!known)
            return false;
    }
    return true;
}

} // namespace

bool claim_working_directory(QString* error) {
    if (!external_dir.isValid()) {
        qInfo() << "Failed to create temporary directory:" << external_dir.errorString();
        if (error)
            *error = external_dir.errorString();
        return false;
    }
    auto lock = std::make_unique<QLockFile>(external_dir.filePath(owner_lock_fileName));
    // Only a gone owner makes a lock stale, never its age: the program may run for days.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (error)
            *error = lock->error() == QLockFile::PermissionError
                         ? QStringLiteral("Permission denied")
                         : QStringLiteral("cannot write the file %1 there").arg(owner_lock_fileName);
        return false;
    }
    owner_lock = std::move(lock);
    return true;
}

void remove_working_directory() {
    owner_lock.reset();
    if (external_dir.isValid())
        external_dir.remove();
}

int remove_stale_working_directories() {
    static const QRegularExpression name_pattern(QStringLiteral("^upgrade_[A-Za-z0-9]{6}$"));
    const QString own = QFileInfo(external_dir.path()).canonicalFilePath();
    const QDateTime unclaimed_before = QDateTime::currentDateTime().addSecs(-10 * 60);
    int removed = 0;
    const QFileInfoList entries = QDir(temp_location())
                                      .entryInfoList({QStringLiteral("upgrade_*")},
                                                     QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (!name_pattern.match(entry.fileName()).hasMatch() || entry.ownerId() != ::geteuid() ||
            (!own.isEmpty() && entry.canonicalFilePath() == own))
            continue;
        const QString path = entry.absoluteFilePath();
        QLockFile owner(path + QLatin1Char('/') + owner_lock_fileName);
        owner.setStaleLockTime(0);
        qint64 pid = 0;
        QString host, application;
        bool gone = false;
        if (owner.getLockInfo(&pid, &host, &application)) {
            // QLockFile takes over a lock only from an owner that is provably gone: the process ended
            // (or its number now belongs to another program, or the machine was restarted since).
            gone = owner.tryLock(0);
            if (gone)
                owner.unlock();
        } else {
            gone = entry.lastModified() < unclaimed_before && holds_only_working_files(path);
        }
        if (!gone)
            continue;
        if (QDir(path).removeRecursively()) {
            qInfo() << "Removed the working directory of a program that has ended:" << path;
            ++removed;
        } else {
            qInfo() << "Failed to remove the working directory of a program that has ended:" << path;
        }
    }
    return removed;
}

bool extract_resources(std::vector<ID> ids, bool require_all, QString* error) {
    if (!external_dir.isValid()) {
        qInfo() << "Failed to create temporary directory:" << external_dir.errorString();
        if (error)
            *error = external_dir.errorString();
        return false;
    }
    bool all_ok = true;
    for (const ID id : ids) {
        const auto it = basename.find(id);
        const QString name = it != basename.end() ? it->second : QString();
        const QString source = QStringLiteral(":resources/") + name;
        const QString destination = external_dir.path() + QStringLiteral("/") + name;
        QString reason = QStringLiteral("no such resource");
        if (!name.isEmpty() && copy_resource(source, destination, &reason)) {
            qDebug() << "Extracted " << name;
        } else {
            qInfo() << "Failed to extract " << name;
            if (error && all_ok)
                *error = QStringLiteral("%1: %2").arg(name.isEmpty() ? QString::number(id) : name, reason);
            all_ok = false;
        }
    }
    return !require_all || all_ok;
}

} // namespace Files
