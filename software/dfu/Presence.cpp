#include "Presence.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DFU {

namespace {

// The first four characters of a small sysfs attribute ("0483\n").
QByteArray read_id(const QByteArray& path) {
    char buffer[8];
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray();
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n >= 4 ? QByteArray(buffer, 4).toLower() : QByteArray();
}

} // namespace

Presence::Presence(const QString& root) : devices_(QFile::encodeName(root) + "/bus/usb/devices") {}

QString Presence::default_root() {
    const QString root = qEnvironmentVariable("VELTARO_SYSFS_ROOT");
    return root.isEmpty() ? QStringLiteral("/sys") : root;
}

Presence::Answer Presence::look() {
    DIR* dir = ::opendir(devices_.constData());
    if (!dir) {
        seen_.clear();
        return unknown;
    }
    std::map<QByteArray, Entry> now;
    bool any = false;
    while (const dirent* e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        // Interfaces ("1-1.4:1.0") and the dot entries carry no device IDs.
        if (name.startsWith('.') || name.contains(':'))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const long long changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
        const auto known = seen_.find(name);
        if (known != seen_.end() && known->second.inode == st.st_ino && known->second.changed_ns == changed) {
            any = any || known->second.candidate;
            now.emplace(name, known->second);
            continue;
        }
        const QByteArray base = devices_ + '/' + name;
        const QByteArray vendor = read_id(base + "/idVendor");
        const QByteArray product = vendor == "0483" ? read_id(base + "/idProduct") : QByteArray();
        const bool candidate = vendor == "0483" && product == "df11";
        any = any || candidate;
        // A device that the kernel is still adding has no IDs yet: read it again next time.
        if (!vendor.isEmpty() && (vendor != "0483" || !product.isEmpty()))
            now.emplace(name, Entry{st.st_ino, changed, candidate});
    }
    ::closedir(dir);
    seen_.swap(now);
    return any ? candidate : none;
}

} // namespace DFU
