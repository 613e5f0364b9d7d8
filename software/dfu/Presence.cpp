#include "Presence.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

Presence::Presence(const QString& root)
    : root_(QFile::encodeName(root)), devices_(QFile::encodeName(root) + "/bus/usb/devices") {}

Presence::~Presence() {
    if (watcher_.joinable()) {
        const char byte = 0;
        while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
        }
        watcher_.join();
    }
    for (const int fd : {inotify_, wake_[0], wake_[1]})
        if (fd >= 0)
            ::close(fd);
}

QString Presence::nodes_directory() const {
    return root_ == "/sys" ? QStringLiteral("/dev/bus/usb") : QFile::decodeName(root_) + "/dev/bus/usb";
}

namespace {
constexpr uint32_t bus_events = IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
} // namespace

void Presence::add_bus_watch(const QByteArray& path) {
    ::inotify_add_watch(inotify_, path.constData(), bus_events);
}

bool Presence::watch(std::function<void()> on_change) {
    if (watcher_.joinable() || !on_change)
        return false;
    const QByteArray nodes = QFile::encodeName(nodes_directory());
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0)
        return false;
    nodes_watch_ = ::inotify_add_watch(inotify_, nodes.constData(), bus_events);
    if (nodes_watch_ < 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(inotify_);
        inotify_ = -1;
        return false;
    }
    // One directory per bus ("001"); a node per device in it.
    if (DIR* dir = ::opendir(nodes.constData())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.')
                add_bus_watch(nodes + '/' + e->d_name);
        ::closedir(dir);
    }
    on_change_ = std::move(on_change);
    watcher_ = std::thread([this] { watch_loop(); });
    return true;
}

void Presence::watch_loop() {
    const QByteArray nodes = QFile::encodeName(nodes_directory());
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        bool changed = false;
        ssize_t n;
        while ((n = ::read(inotify_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                // A new bus: its devices are watched from now on (and one may be there already).
                if (event->wd == nodes_watch_ && (event->mask & (IN_CREATE | IN_MOVED_TO)) && event->len)
                    add_bus_watch(nodes + '/' + event->name);
                changed = true;
                at += ssize_t(sizeof(inotify_event)) + event->len;
            }
        }
        if (changed)
            on_change_();
    }
}

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
