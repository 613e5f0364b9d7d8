#pragma once

#include <QByteArray>
#include <QString>

#include <map>

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

private:
    struct Entry {
        unsigned long long inode = 0;
        long long changed_ns = 0;
        bool candidate = false;
    };

    QByteArray devices_;
    // What each device entry held when it was last read. An entry keeps its inode and time of change
    // while its device stays; a new device makes a new entry, so each device is read once, not on every
    // look (file systems that reuse inode numbers give the new one another time of change).
    std::map<QByteArray, Entry> seen_;
};

} // namespace DFU
