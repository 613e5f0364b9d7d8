#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <thread>

namespace DFU {

// Whether the USB bus holds a device that may be a unit in DFU mode (0483:df11), from a few small reads
// of sysfs and without starting the tool, so that polling costs next to nothing while no unit is there.
class Presence {
public:
    enum Answer {
        none,      // no such device: the tool would find nothing
        candidate, // at least one: ask the tool
        unknown,   // sysfs cannot tell (a container, a sandbox): ask the tool
    };

    // Looks at `<root>/bus/usb/devices`; `root` defaults to default_root().
    explicit Presence(const QString& root = default_root());

    // "/sys", or the directory named by VELTARO_SYSFS_ROOT.
    static QString default_root();

    Answer look();

    // Calls on_change, on a thread of its own, whenever a USB device node appears, goes or changes its
    // permissions in nodes_directory(), so that someone waiting for a unit can look at once instead of
    // on a timer. The kernel makes a device's node after its sysfs entry, so a look then sees it.
    // Returns false where no such reports can come (no nodes directory, no inotify): only looking
    // works there. Once per object.
    bool watch(std::function<void()> on_change);

    // "/dev/bus/usb" for the real "/sys"; a tree of tests carries its own, `<root>/dev/bus/usb`.
    QString nodes_directory() const;

    ~Presence();
    Presence(const Presence&) = delete;
    Presence& operator=(const Presence&) = delete;

private:
    void watch_loop();
    void add_bus_watch(const QByteArray& path);

    struct Entry {
        unsigned long long inode = 0;
        long long changed_ns = 0;
        bool candidate = false;
    };

    QByteArray root_;
    QByteArray devices_;
    int inotify_ = -1;
    int wake_[2] = {-1, -1}; // written to end the watch
    int nodes_watch_ = -1;   // the nodes directory itself: new buses appear there
    std::function<void()> on_change_;
    std::thread watcher_;
    // What each device entry held when it was last read. An entry keeps its inode and time of change
    // while its device stays; a new device makes a new entry, so each device is read once, not on every
    // look (file systems that reuse inode numbers give the new one another time of change).
    std::map<QByteArray, Entry> seen_;
};

} // namespace DFU
