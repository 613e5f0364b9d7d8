// A fake USB bus in sysfs for the emulated units: keeps SYSFS_ROOT/bus/usb/devices/ in step with the
// units of UNITS_DIR, so that a program looking for 0483:df11 on the bus sees them come and go.
//
//   emulated_bus [--once] UNITS_DIR SYSFS_ROOT
//
// Test fixture only. Like the kernel, bus/usb/devices/ holds symbolic links into devices/; a root hub
// and a keyboard are always there, so a reader has to look at the IDs. Each device also gets its node
// in SYSFS_ROOT/dev/bus/usb/001/ (an empty file named by its devnum), made after its sysfs entry and
// removed before it, as the kernel does in /dev/bus/usb: a reader may watch there for changes.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr long sync_interval_ns = 10 * 1000 * 1000;
const char* const bus_dir = "/bus/usb/devices";
// Where the kernel would put the devices of the first xHCI controller's bus.
const char* const physical_dir = "/devices/pci0000:00/0000:00:14.0";
const char* const staging_dir = "/.emulated-bus";
const char* const nodes_dir = "/dev/bus/usb/001";

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

using Files = std::vector<std::pair<std::string, std::string>>;

struct Interface {
    std::string name;
    Files files;
};

struct Device {
    std::string name;   // "usb1", "1-1.4"
    std::string parent; // physical directory below physical_dir ("" for the root hub)
    Files files;
    std::vector<Interface> interfaces;
};

bool read_text(const std::string& path, std::string* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out->append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

bool write_text(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

bool make_dirs(const std::string& path) {
    size_t pos = 0;
    do {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    } while (pos != std::string::npos);
    return true;
}

int remove_entry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

void remove_tree(const std::string& path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

long long now_epoch_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The unit directories in byte order, as the emulated library numbers them.
std::vector<std::string> unit_names(const std::string& units) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(units.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            struct stat st {};
            if (stat((units + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                names.emplace_back(e->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Only devnum matters on the bus; the other knobs are the unit's behaviour once opened.
int knob_devnum(const std::string& knobs_file) {
    std::string text;
    if (!read_text(knobs_file, &text))
        return -1;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        const std::string line = trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        const auto eq = line.find('=');
        if (eq != std::string::npos && trim(line.substr(0, eq)) == "devnum")
            return atoi(trim(line.substr(eq + 1)).c_str());
    }
    return -1;
}

Device root_hub() {
    return {"usb1",
            "",
            {{"idVendor", "1d6b\n"},
             {"idProduct", "0002\n"},
             {"bcdDevice", "0515\n"},
             {"bDeviceClass", "09\n"},
             {"manufacturer", "Linux 5.15.0 xhci-hcd\n"},
             {"product", "xHCI Host Controller\n"},
             {"serial", "0000:00:14.0\n"},
             {"busnum", "1\n"},
             {"devnum", "1\n"},
             {"devpath", "0\n"},
             {"speed", "480\n"}},
            {{"1-0:1.0", {{"bInterfaceNumber", "00\n"}, {"bInterfaceClass", "09\n"}}}}};
}

Device keyboard() {
    return {"1-1.1",
            "usb1",
            {{"idVendor", "046d\n"},
             {"idProduct", "c31c\n"},
             {"bcdDevice", "6400\n"},
             {"bDeviceClass", "00\n"},
             {"manufacturer", "Logitech\n"},
             {"product", "USB Keyboard\n"},
             {"busnum", "1\n"},
             {"devnum", "3\n"},
             {"devpath", "1.1\n"},
             {"speed", "1.5\n"}},
            {{"1-1.1:1.0", {{"bInterfaceNumber", "00\n"}, {"bInterfaceClass", "03\n"}}},
             {"1-1.1:1.1", {{"bInterfaceNumber", "01\n"}, {"bInterfaceClass", "03\n"}}}}};
}

// The n-th unit directory (from 0) sits on port 4 + n of hub 1-1 with devnum 7 + n, as the emulated
// library presents it to dfu-util ("1-1.4", devnum 7).
Device unit_device(const std::string& serial, int index, int devnum) {
    const std::string port = std::to_string(4 + index);
    const std::string name = "1-1." + port;
    return {name,
            "usb1",
            {{"idVendor", "0483\n"},
             {"idProduct", "df11\n"},
             {"bcdDevice", "2200\n"},
             {"bDeviceClass", "00\n"},
             {"manufacturer", "STMicroelectronics\n"},
             {"product", "STM32  BOOTLOADER\n"},
             {"serial", serial + "\n"},
             {"busnum", "1\n"},
             {"devnum", std::to_string(devnum >= 0 ? devnum : 7 + index) + "\n"},
             {"devpath", "1." + port + "\n"},
             {"speed", "12\n"}},
            {{name + ":1.0",
              {{"bInterfaceNumber", "00\n"},
               {"bAlternateSetting", " 0\n"},
               {"bInterfaceClass", "fe\n"},
               {"bInterfaceSubClass", "01\n"},
               {"bInterfaceProtocol", "02\n"},
               {"interface", "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg\n"}}}}};
}

class Bus {
public:
    Bus(std::string units, std::string root) : units_(std::move(units) + "/units"), root_(std::move(root)) {}

    bool prepare() {
        if (!make_dirs(root_ + bus_dir) || !make_dirs(root_ + physical_dir) ||
            !make_dirs(root_ + staging_dir) || !make_dirs(root_ + nodes_dir)) {
            fprintf(stderr, "emulated_bus: cannot create the tree under %s: %s\n", root_.c_str(),
                    strerror(errno));
            return false;
        }
        // What an earlier run left: kept where it still holds, so a second run shows no gap.
        if (DIR* dir = opendir((root_ + bus_dir).c_str())) {
            while (dirent* e = readdir(dir)) {
                const std::string name = e->d_name;
                if (name[0] == '.' || name.find(':') != std::string::npos)
                    continue;
                std::string serial, devnum;
                read_text(root_ + bus_dir + "/" + name + "/serial", &serial);
                read_text(root_ + bus_dir + "/" + name + "/devnum", &devnum);
                shown_[name] = serial + devnum;
                nodes_[name] = node(trim(devnum));
            }
            closedir(dir);
        }
        return true;
    }

    // One pass: every present unit shown, every other entry taken away.
    bool sync() {
        // The root hub first: the other devices live in its directory.
        std::vector<Device> wanted{root_hub(), keyboard()};
        const std::vector<std::string> names = unit_names(units_);
        const long long now = now_epoch_ms();
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string dir = units_ + "/" + names[i];
            std::string until;
            if (read_text(dir + "/absent_until", &until) && now < strtoll(trim(until).c_str(), nullptr, 10))
                continue;
            wanted.push_back(unit_device(names[i], static_cast<int>(i), knob_devnum(dir + "/knobs")));
        }
        bool ok = true;
        for (auto it = shown_.begin(); it != shown_.end();) {
            const auto w = std::find_if(wanted.begin(), wanted.end(),
                                        [&](const Device& d) { return d.name == it->first; });
            if (w == wanted.end() || signature(*w) != it->second) {
                ok = hide(it->first) && ok;
                it = shown_.erase(it);
            } else {
                ++it;
            }
        }
        for (const Device& d : wanted)
            if (!shown_.count(d.name))
                ok = show(d) && ok;
        return ok;
    }

private:
    static std::string signature(const Device& d) {
        std::string serial, devnum;
        for (const auto& [file, text] : d.files) {
            if (file == "serial")
                serial = text;
            else if (file == "devnum")
                devnum = text;
        }
        return serial + devnum;
    }

    std::string node(const std::string& devnum) const {
        char name[16];
        snprintf(name, sizeof name, "/%03d", atoi(devnum.c_str()));
        return root_ + nodes_dir + name;
    }

    static std::string devnum_of(const Device& d) {
        for (const auto& [file, text] : d.files)
            if (file == "devnum")
                return trim(text);
        return {};
    }

    // The device node comes last, once the device is whole in sysfs.
    bool add_node(const Device& d) {
        const std::string path = node(devnum_of(d));
        nodes_[d.name] = path;
        return write_text(path, "");
    }

    std::string physical(const Device& d) const {
        return root_ + physical_dir + (d.parent.empty() ? "" : "/" + d.parent) + "/" + d.name;
    }

    std::string link_target(const Device& d) const {
        return std::string("../../..") + physical_dir + (d.parent.empty() ? "" : "/" + d.parent) + "/" +
               d.name;
    }

    // Builds the device's directory under a temporary name and renames it into place, then links it
    // into bus/usb/devices the same way: a reader sees the device whole or not at all.
    bool show(const Device& d) {
        const std::string tmp = root_ + staging_dir + "/" + d.name;
        remove_tree(tmp);
        bool ok = mkdir(tmp.c_str(), 0755) == 0;
        for (const auto& [file, text] : d.files)
            ok = ok && write_text(tmp + "/" + file, text);
        for (const Interface& i : d.interfaces) {
            ok = ok && mkdir((tmp + "/" + i.name).c_str(), 0755) == 0;
            for (const auto& [file, text] : i.files)
                ok = ok && write_text(tmp + "/" + i.name + "/" + file, text);
        }
        const std::string target = physical(d);
        struct stat st {};
        if (ok && lstat(target.c_str(), &st) == 0) {
            if (d.parent.empty()) {
                // The root hub holds the other devices: it stays as it is.
                remove_tree(tmp);
                shown_[d.name] = signature(d);
                return link(d.name, link_target(d)) && add_node(d);
            }
            remove_tree(target);
        }
        ok = ok && rename(tmp.c_str(), target.c_str()) == 0;
        ok = ok && link(d.name, link_target(d));
        for (const Interface& i : d.interfaces)
            ok = ok && link(i.name, link_target(d) + "/" + i.name);
        if (!ok) {
            fprintf(stderr, "emulated_bus: cannot show %s: %s\n", d.name.c_str(), strerror(errno));
            remove_tree(tmp);
            return false;
        }
        shown_[d.name] = signature(d);
        return add_node(d);
    }

    // A symbolic link in bus/usb/devices, replaced in one rename.
    bool link(const std::string& name, const std::string& target) {
        const std::string tmp = root_ + staging_dir + "/link." + name;
        unlink(tmp.c_str());
        return symlink(target.c_str(), tmp.c_str()) == 0 &&
               rename(tmp.c_str(), (root_ + bus_dir + "/" + name).c_str()) == 0;
    }

    // Interfaces go first, then the device's link, then its directory, as when a device is unplugged.
    bool hide(const std::string& name) {
        const auto known = nodes_.find(name);
        if (known != nodes_.end()) {
            unlink(known->second.c_str());
            nodes_.erase(known);
        }
        const std::string bus = root_ + bus_dir;
        if (DIR* dir = opendir(bus.c_str())) {
            while (dirent* e = readdir(dir))
                if (strncmp(e->d_name, (name + ":").c_str(), name.size() + 1) == 0)
                    unlinkat(dirfd(dir), e->d_name, 0);
            closedir(dir);
        }
        char target[4096];
        const ssize_t n = readlink((bus + "/" + name).c_str(), target, sizeof target - 1);
        if (unlink((bus + "/" + name).c_str()) != 0 && errno != ENOENT)
            return false;
        if (n > 0) {
            target[n] = '\0';
            const std::string gone = root_ + staging_dir + "/gone." + name;
            remove_tree(gone);
            if (rename((bus + "/" + target).c_str(), gone.c_str()) == 0)
                remove_tree(gone);
        } else {
            remove_tree(bus + "/" + name); // a plain directory left by someone else
        }
        return true;
    }

    std::string units_;
    std::string root_;
    std::map<std::string, std::string> shown_; // name -> signature of what is on disk
    std::map<std::string, std::string> nodes_; // name -> its device node
};

// The tree is rewritten and pruned: never let that happen to a real one.
bool safe_root(const std::string& root) {
    char resolved[PATH_MAX];
    if (!realpath(root.c_str(), resolved))
        return true; // not there yet: it will be created
    const std::string r = resolved;
    for (const char* forbidden : {"/sys", "/proc", "/dev"})
        if (r == forbidden || r.compare(0, strlen(forbidden) + 1, std::string(forbidden) + "/") == 0)
            return false;
    return r != "/";
}

} // namespace

int main(int argc, char** argv) {
    bool once = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--once") == 0)
            once = true;
        else
            args.emplace_back(argv[i]);
    }
    if (args.size() != 2 || args[0].empty() || args[1].empty()) {
        fprintf(stderr, "usage: emulated_bus [--once] UNITS_DIR SYSFS_ROOT\n");
        return 64;
    }
    if (!safe_root(args[1])) {
        fprintf(stderr, "emulated_bus: refusing to write into %s\n", args[1].c_str());
        return 64;
    }
    if (!once) {
        // Ends with the process that started it (the fixture's command), even when that one is killed.
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (parent == 1 || getppid() != parent)
            return 0;
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
    }

    Bus bus(args[0], args[1]);
    if (!bus.prepare() || !bus.sync())
        return 1;
    while (!once && !stop_requested) {
        timespec ts{0, sync_interval_ns};
        nanosleep(&ts, nullptr); // a signal cuts it short
        if (!stop_requested)
            bus.sync();
    }
    return 0;
}
