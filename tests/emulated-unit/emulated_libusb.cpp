// A stand-in for libusb-1.0.so.0 that presents the units of $VELTARO_UNITS_DIR as STM32F4 system
// bootloaders in DFU mode, so that an unmodified dfu-util can run against them without hardware.
// Test fixture only: it is never shipped with the program.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t flash_base = 0x08000000;
constexpr uint32_t flash_size = 1024 * 1024;
constexpr uint32_t otp_base = 0x1FFF7800;
constexpr uint32_t otp_size = 512;
constexpr uint32_t otp_lock_base = 0x1FFF7A00;
constexpr uint32_t otp_lock_size = 16;
constexpr uint32_t option_base = 0x1FFFC000;
constexpr uint32_t option_size = 16;
constexpr uint32_t feature_base = 0xFFFF0000;
constexpr uint32_t feature_size = 4;
constexpr uint32_t block_size = 2048;
constexpr long long never_ms = 99999999999999LL;

enum State : uint8_t {
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10,
};

enum Status : uint8_t {
    OK = 0x00,
    errTARGET = 0x01,
    errADDRESS = 0x08,
    errSTALLEDPKT = 0x0F,
};

enum Request : uint8_t { DNLOAD = 1, UPLOAD = 2, GETSTATUS = 3, CLRSTATUS = 4, GETSTATE = 5, ABORT = 6 };

struct Knobs {
    int devnum = -1;
    long long reappear_ms = 2000;
    bool never_returns = false;
    bool otp_read_fails = false;
    bool download_fails = false;
    bool vanishes_during_verify = false;
    long long slow_read_ms = 0;
    bool extra_listing_line = false;
    bool no_status_after_leave = false;
    bool upload_stall = false;
    bool erase_fails = false;
    bool access_denied = false;
    bool busy = false;
    bool list_fails_once = false;
};

bool realistic() {
    const char* t = getenv("VELTARO_UNIT_TIMING");
    return t && strcmp(t, "realistic") == 0;
}

bool tracing() {
    const char* t = getenv("VELTARO_UNIT_TRACE");
    return t && *t && strcmp(t, "0") != 0;
}

long long now_epoch_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

long long now_mono_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

void sleep_us(long long us) {
    if (us <= 0)
        return;
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string units_dir() {
    const char* d = getenv("VELTARO_UNITS_DIR");
    if (d && *d)
        return d;
    const char* tmp = getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/veltaro-units-" + std::to_string(getuid());
}

bool read_text(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f)
        return false;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    fclose(f);
    return true;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Unknown keys and malformed lines are errors, so that a typo in a scenario never passes silently.
bool parse_knobs(const std::string& path, Knobs* k) {
    std::string text;
    if (!read_text(path, &text))
        return true;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        const std::string line = trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty() || line[0] == '#')
            continue;
        const auto eq = line.find('=');
        const std::string key = trim(line.substr(0, eq));
        if (eq == std::string::npos) {
            fprintf(stderr, "unknown knob %s in %s\n", key.c_str(), path.c_str());
            return false;
        }
        const std::string value = trim(line.substr(eq + 1));
        char* end = nullptr;
        errno = 0;
        const long long v = strtoll(value.c_str(), &end, 10);
        const bool numeric = !value.empty() && end && *end == '\0' && errno == 0;
        if (key == "devnum")
            k->devnum = static_cast<int>(v);
        else if (key == "reappear_ms")
            k->reappear_ms = v;
        else if (key == "never_returns")
            k->never_returns = v != 0;
        else if (key == "otp_read_fails")
            k->otp_read_fails = v != 0;
        else if (key == "download_fails")
            k->download_fails = v != 0;
        else if (key == "vanishes_during_verify")
            k->vanishes_during_verify = v != 0;
        else if (key == "slow_read_ms")
            k->slow_read_ms = v;
        else if (key == "extra_listing_line")
            k->extra_listing_line = v != 0;
        else if (key == "no_status_after_leave")
            k->no_status_after_leave = v != 0;
        else if (key == "upload_stall")
            k->upload_stall = v != 0;
        else if (key == "erase_fails")
            k->erase_fails = v != 0;
        else if (key == "access_denied")
            k->access_denied = v != 0;
        else if (key == "busy")
            k->busy = v != 0;
        else if (key == "list_fails_once")
            k->list_fails_once = v != 0;
        else {
            fprintf(stderr, "unknown knob %s in %s\n", key.c_str(), path.c_str());
            return false;
        }
        if (!numeric) {
            fprintf(stderr, "knob %s in %s needs a decimal integer, not '%s'\n", key.c_str(), path.c_str(),
                    value.c_str());
            return false;
        }
    }
    return true;
}

long long absent_until(const std::string& dir) {
    std::string text;
    if (!read_text(dir + "/absent_until", &text))
        return 0;
    return strtoll(trim(text).c_str(), nullptr, 10);
}

bool write_text(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    fputs(text.c_str(), f);
    if (fclose(f) != 0)
        return false;
    return rename(tmp.c_str(), path.c_str()) == 0;
}

// Removes a knob's lines (slow_read_ms, list_fails_once): what they do happens once.
void drop_knob_line(const std::string& path, const std::string& key) {
    std::string text, out;
    if (!read_text(path, &text))
        return;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string::npos ? text.size() : nl + 1;
        const std::string line = text.substr(pos, end - pos);
        const std::string t = trim(line);
        if (!(t.compare(0, key.size(), key) == 0 && trim(t.substr(key.size())).compare(0, 1, "=") == 0))
            out += line;
        pos = end;
    }
    write_text(path, out);
}

struct Sector {
    uint32_t start, size;
};

const std::vector<Sector>& flash_sectors() {
    static const std::vector<Sector> sectors = [] {
        std::vector<Sector> s;
        uint32_t a = flash_base;
        for (int i = 0; i < 4; ++i, a += 16 * 1024)
            s.push_back({a, 16 * 1024});
        s.push_back({a, 64 * 1024});
        a += 64 * 1024;
        for (int i = 0; i < 7; ++i, a += 128 * 1024)
            s.push_back({a, 128 * 1024});
        return s;
    }();
    return sectors;
}

// STM32F4 sector erase times at x32 parallelism (typical values).
long long erase_time_ms(uint32_t sector_size) {
    if (sector_size <= 16 * 1024)
        return 250;
    if (sector_size <= 64 * 1024)
        return 550;
    return 1000;
}

// One full-speed control transfer: the setup and status stages take a frame, the data stage moves
// 64-byte packets at about four per frame, the pace of a full-speed bootloader's control pipe
// (a 2048-byte block in 9 ms, about 220 KiB/s for a read).
long long usb_time_us(uint16_t wLength) {
    const long long packets = (wLength + 63) / 64;
    return 1000 + packets * 250;
}

} // namespace

struct libusb_context {
    int dummy;
};

struct libusb_device {
    int refs = 1;
    std::string serial;
    std::string dir;
    int index = 0;
    uint8_t devnum = 7;
    Knobs knobs;
    bool gone = false;
    // DfuSe state of the unit (it lives as long as this process sees the unit).
    uint8_t state = dfuIDLE;
    uint8_t status = OK;
    int alt = 0;
    uint32_t pointer = flash_base;
    std::vector<uint8_t> pending;
    uint16_t pending_block = 0;
    bool pending_manifest = false;
    long long busy_until_us = 0;
    bool busy_fails = false;
    uint8_t busy_fail_status = OK;
    int data_writes = 0;
    // The read in progress, for slow_read_ms (which concerns a read of exactly the first 2048 bytes).
    uint32_t upload_start = 0;
    uint32_t upload_bytes = 0;
};

struct libusb_device_handle {
    libusb_device* dev;
};

namespace {

libusb_context the_context{0};

void trace(const char* fmt, ...) {
    if (!tracing())
        return;
    va_list ap;
    va_start(ap, fmt);
    fputs("[emulated-unit] ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

int alt_count(const libusb_device* d) {
    return d->knobs.extra_listing_line ? 5 : 4;
}

std::string string_descriptor(const libusb_device* d, uint8_t index) {
    switch (index) {
    case 1:
        return "STMicroelectronics";
    case 2:
        return "STM32  BOOTLOADER";
    case 3:
        return d->serial;
    case 4:
        return "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";
    case 5:
        return "@Option Bytes  /0x1FFFC000/01*016 e";
    case 6:
        return "@OTP Memory /0x1FFF7800/01*512 e,01*016 e";
    case 7:
        return "@Device Feature/0xFFFF0000/01*004 e";
    case 8:
        // Only with extra_listing_line: a fifth alternate setting that no real bootloader has.
        return "@Reserved /0x00000000/01*001 e";
    default:
        return {};
    }
}

// Memory areas as seen through the address pointer; files are opened per access so that every
// erase and write reaches the unit's files at once.
struct Area {
    uint32_t base = 0, size = 0;
    std::string file; // empty: fixed contents
    bool erasable = false;
};

bool area_of(const libusb_device* d, uint32_t addr, Area* a) {
    if (addr >= flash_base && addr - flash_base < flash_size) {
        *a = {flash_base, flash_size, d->dir + "/flash.bin", true};
        return true;
    }
    if (addr >= otp_base && addr - otp_base < otp_size) {
        *a = {otp_base, otp_size, d->dir + "/otp.bin", false};
        return true;
    }
    if (addr >= otp_lock_base && addr - otp_lock_base < otp_lock_size) {
        *a = {otp_lock_base, otp_lock_size, d->dir + "/otp_lock.bin", false};
        return true;
    }
    if (addr >= option_base && addr - option_base < option_size) {
        *a = {option_base, option_size, "", false};
        return true;
    }
    if (addr >= feature_base && addr - feature_base < feature_size) {
        *a = {feature_base, feature_size, "", false};
        return true;
    }
    return false;
}

bool alt_holds(int alt, uint32_t addr) {
    switch (alt) {
    case 0:
        return addr >= flash_base && addr - flash_base < flash_size;
    case 1:
        return addr >= option_base && addr - option_base < option_size;
    case 2:
        return (addr >= otp_base && addr - otp_base < otp_size) ||
               (addr >= otp_lock_base && addr - otp_lock_base < otp_lock_size);
    case 3:
        return addr >= feature_base && addr - feature_base < feature_size;
    default:
        return false;
    }
}

// Reads what the unit holds at [addr, addr+len) within one area; a missing or short file reads as
// erased (0xFF). Returns the number of bytes available (the read stops at the end of the area).
uint32_t read_area(const libusb_device* d, uint32_t addr, uint8_t* out, uint32_t len) {
    Area a;
    if (!area_of(d, addr, &a))
        return 0;
    const uint32_t off = addr - a.base;
    const uint32_t n = std::min(len, a.size - off);
    if (a.file.empty()) {
        // Option bytes as shipped (RDP level 0, no write protection); feature area reads as zero.
        static const uint8_t option_bytes[option_size] = {0xAA, 0xED, 0x55, 0x12, 0xFF, 0x0F, 0x00, 0xF0,
                                                          0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
        for (uint32_t i = 0; i < n; ++i)
            out[i] = a.base == option_base ? option_bytes[off + i] : 0x00;
        return n;
    }
    memset(out, 0xFF, n);
    const int fd = open(a.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        uint32_t done = 0;
        while (done < n) {
            const ssize_t r = pread(fd, out + done, n - done, off + done);
            if (r <= 0)
                break;
            done += static_cast<uint32_t>(r);
        }
        close(fd);
    }
    return n;
}

// Reads across neighbouring areas (the OTP area runs on into its lock bytes); returns the number of
// bytes read, less than len where the memory ends.
uint32_t read_memory(const libusb_device* d, uint32_t addr, uint8_t* out, uint32_t len) {
    uint32_t done = 0;
    while (done < len) {
        const uint32_t n = read_area(d, addr + done, out + done, len - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

// Opens an area's file for writing, creating it erased or extending it with 0xFF to the area's size.
int open_for_write(const Area& a) {
    const int fd = open(a.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size < static_cast<off_t>(a.size)) {
        std::vector<uint8_t> ff(a.size - static_cast<uint32_t>(st.st_size), 0xFF);
        if (pwrite(fd, ff.data(), ff.size(), st.st_size) != static_cast<ssize_t>(ff.size())) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// Flash-like programming: a write only clears bits (new = old & data).
bool program_memory(const libusb_device* d, uint32_t addr, const uint8_t* data, uint32_t len) {
    Area a;
    if (!area_of(d, addr, &a) || a.file.empty() || len > a.size - (addr - a.base))
        return false;
    const int fd = open_for_write(a);
    if (fd < 0)
        return false;
    const uint32_t off = addr - a.base;
    std::vector<uint8_t> buf(len, 0xFF);
    if (pread(fd, buf.data(), len, off) < 0) {
        close(fd);
        return false;
    }
    for (uint32_t i = 0; i < len; ++i)
        buf[i] &= data[i];
    const bool ok = pwrite(fd, buf.data(), len, off) == static_cast<ssize_t>(len);
    return close(fd) == 0 && ok;
}

bool erase_range(const libusb_device* d, uint32_t start, uint32_t size) {
    Area a;
    if (!area_of(d, start, &a) || !a.erasable)
        return false;
    const int fd = open_for_write(a);
    if (fd < 0)
        return false;
    std::vector<uint8_t> ff(size, 0xFF);
    const bool ok = pwrite(fd, ff.data(), size, start - a.base) == static_cast<ssize_t>(size);
    return close(fd) == 0 && ok;
}

void leave(libusb_device* d) {
    const long long until = d->knobs.never_returns ? never_ms : now_epoch_ms() + d->knobs.reappear_ms;
    write_text(d->dir + "/absent_until", std::to_string(until) + "\n");
    d->gone = true;
    trace("%s leaves DFU mode, absent until %lld", d->serial.c_str(), until);
}

uint32_t poll_ms_fast() {
    return 1;
}

void set_busy(libusb_device* d, long long duration_ms) {
    d->busy_until_us = now_mono_us() + (realistic() ? duration_ms * 1000 : 0);
}

// Carries out the command or write received by DNLOAD; called on the GETSTATUS that answers dfuDNBUSY.
// Returns the time it takes on a real unit.
long long execute_pending(libusb_device* d) {
    d->busy_fails = false;
    d->busy_fail_status = OK;
    auto fail = [d](uint8_t status) {
        d->busy_fails = true;
        d->busy_fail_status = status;
    };
    const std::vector<uint8_t>& p = d->pending;
    if (d->pending_block == 0) {
        if (p.empty())
            return 1;
        const uint8_t cmd = p[0];
        uint32_t addr = 0;
        if (p.size() == 5)
            addr = p[1] | (p[2] << 8) | (p[3] << 16) | (static_cast<uint32_t>(p[4]) << 24);
        if (cmd == 0x21 && p.size() == 5) {
            if (!alt_holds(d->alt, addr))
                fail(errADDRESS);
            else
                d->pointer = addr;
            trace("SET_ADDRESS 0x%08X", addr);
            return 1;
        }
        if (cmd == 0x41 && p.size() == 5) {
            trace("ERASE 0x%08X", addr);
            if (!(addr >= flash_base && addr - flash_base < flash_size)) {
                fail(errTARGET);
                return 1;
            }
            for (const Sector& s : flash_sectors()) {
                if (addr >= s.start && addr - s.start < s.size) {
                    if (d->knobs.erase_fails || !erase_range(d, s.start, s.size))
                        fail(errTARGET);
                    return erase_time_ms(s.size);
                }
            }
            return 1;
        }
        if ((cmd == 0x41 || cmd == 0x92) && p.size() == 1) {
            trace(cmd == 0x41 ? "MASS ERASE" : "READ UNPROTECT");
            if (d->knobs.erase_fails || !erase_range(d, flash_base, flash_size))
                fail(errTARGET);
            return 8000;
        }
        fail(errTARGET);
        return 1;
    }
    // Data block: wValue 2 is the pointer itself, each further block 2048 bytes on.
    const uint64_t addr64 = d->pointer + static_cast<uint64_t>(d->pending_block - 2) * block_size;
    const uint32_t addr = static_cast<uint32_t>(addr64);
    ++d->data_writes;
    trace("WRITE 0x%08X %zu bytes", addr, p.size());
    Area a;
    if (addr64 > 0xFFFFFFFFu || !area_of(d, addr, &a) || a.file.empty() ||
        p.size() > a.size - (addr - a.base)) {
        fail(errADDRESS);
        return 1;
    }
    // download_fails: the image is cut off after its first block, leaving the flash half-written.
    if (d->knobs.download_fails && a.base == flash_base && d->data_writes > 1) {
        fail(errTARGET);
        return 1;
    }
    if (!program_memory(d, addr, p.data(), static_cast<uint32_t>(p.size())))
        fail(errTARGET);
    // 32-bit words at about 16 us each.
    return std::max<long long>(1, static_cast<long long>(p.size() / 4) * 16 / 1000);
}

int stall(libusb_device* d) {
    d->state = dfuERROR;
    d->status = errSTALLEDPKT;
    trace("stall");
    return LIBUSB_ERROR_PIPE;
}

int get_status(libusb_device* d, unsigned char* data, uint16_t wLength) {
    if (wLength < 6)
        return stall(d);
    uint32_t poll = poll_ms_fast();
    uint8_t status = d->status;
    switch (d->state) {
    case dfuDNLOAD_SYNC: {
        const long long ms = execute_pending(d);
        set_busy(d, ms);
        d->state = dfuDNBUSY;
        status = OK;
        poll = realistic() ? static_cast<uint32_t>(ms) : poll_ms_fast();
        break;
    }
    case dfuDNBUSY: {
        const long long left_us = d->busy_until_us - now_mono_us();
        if (left_us > 0) {
            poll = static_cast<uint32_t>((left_us + 999) / 1000);
            status = OK;
            break;
        }
        if (d->busy_fails) {
            d->state = dfuERROR;
            d->status = d->busy_fail_status;
        } else {
            d->state = dfuDNLOAD_IDLE;
            d->status = OK;
        }
        status = d->status;
        break;
    }
    case dfuMANIFEST_SYNC:
        if (d->knobs.no_status_after_leave) {
            // The unit resets before it answers; the image is already in place.
            leave(d);
            return LIBUSB_ERROR_IO;
        }
        d->state = dfuMANIFEST;
        status = OK;
        break;
    default:
        break;
    }
    data[0] = status;
    data[1] = poll & 0xFF;
    data[2] = (poll >> 8) & 0xFF;
    data[3] = (poll >> 16) & 0xFF;
    data[4] = d->state;
    data[5] = 0;
    if (d->state == dfuMANIFEST)
        leave(d);
    return 6;
}

int upload(libusb_device* d, uint16_t wValue, unsigned char* data, uint16_t wLength) {
    if (d->state != dfuIDLE && d->state != dfuUPLOAD_IDLE)
        return stall(d);
    if (wValue == 0) {
        // GET_COMMAND: the commands this bootloader understands.
        static const uint8_t cmds[] = {0x00, 0x21, 0x41, 0x92};
        const uint16_t n = std::min<uint16_t>(wLength, sizeof cmds);
        memcpy(data, cmds, n);
        d->state = dfuUPLOAD_IDLE;
        return n;
    }
    if (wValue < 2 || wLength > block_size)
        return stall(d);
    const uint64_t addr64 = d->pointer + static_cast<uint64_t>(wValue - 2) * block_size;
    const uint32_t addr = static_cast<uint32_t>(addr64);
    Area a;
    const bool known = addr64 <= 0xFFFFFFFFu && area_of(d, addr, &a);
    if (known && a.base == flash_base) {
        if (d->knobs.upload_stall)
            return stall(d);
        if (d->knobs.vanishes_during_verify && wValue >= 3) {
            // Gone for good, as a unit that dropped off the bus in the middle of a read.
            d->knobs.never_returns = true;
            leave(d);
            return LIBUSB_ERROR_NO_DEVICE;
        }
    }
    if (known && (a.base == otp_base || a.base == otp_lock_base) && d->knobs.otp_read_fails)
        return stall(d);
    // A block that reaches past the end of the memory is stalled.
    const uint32_t n = known ? read_memory(d, addr, data, wLength) : 0;
    if (n < wLength)
        return stall(d);
    trace("UPLOAD 0x%08X %u -> %u", addr, wLength, n);
    if (d->state == dfuIDLE) {
        d->upload_start = addr;
        d->upload_bytes = 0;
    }
    d->upload_bytes += n;
    d->state = dfuUPLOAD_IDLE;
    return static_cast<int>(n);
}

// slow_read_ms: the read of the flash information block (exactly 2048 bytes from the flash start)
// takes that long once; the knob line is removed first, as the unit's state says it happens once.
void end_of_upload(libusb_device* d) {
    if (d->knobs.slow_read_ms <= 0 || d->upload_start != flash_base || d->upload_bytes != block_size)
        return;
    const long long ms = d->knobs.slow_read_ms;
    d->knobs.slow_read_ms = 0;
    drop_knob_line(d->dir + "/knobs", "slow_read_ms");
    sleep_us(ms * 1000);
}

int dnload(libusb_device* d, uint16_t wValue, const unsigned char* data, uint16_t wLength) {
    if (d->state != dfuIDLE && d->state != dfuDNLOAD_IDLE)
        return stall(d);
    if (wLength == 0) {
        d->state = dfuMANIFEST_SYNC;
        trace("leave request");
        return 0;
    }
    if (wValue == 1 || wLength > block_size)
        return stall(d);
    d->pending.assign(data, data + wLength);
    d->pending_block = wValue;
    d->state = dfuDNLOAD_SYNC;
    return wLength;
}

int standard_get_descriptor(libusb_device* d, uint16_t wValue, uint16_t wIndex, unsigned char* data,
                            uint16_t wLength) {
    const uint8_t type = wValue >> 8, index = wValue & 0xFF;
    std::vector<uint8_t> desc;
    if (type == LIBUSB_DT_STRING) {
        if (index == 0) {
            desc = {0x04, 0x03, 0x09, 0x04};
        } else {
            const std::string s = string_descriptor(d, index);
            if (s.empty() || (index == 8 && !d->knobs.extra_listing_line))
                return LIBUSB_ERROR_PIPE;
            desc.push_back(static_cast<uint8_t>(2 + 2 * s.size()));
            desc.push_back(LIBUSB_DT_STRING);
            for (char c : s) {
                desc.push_back(static_cast<uint8_t>(c));
                desc.push_back(0);
            }
        }
    } else if (type == 0x21) {
        desc = {0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01};
    } else {
        return LIBUSB_ERROR_PIPE;
    }
    (void)wIndex;
    const uint16_t n = std::min<uint16_t>(wLength, static_cast<uint16_t>(desc.size()));
    memcpy(data, desc.data(), n);
    return n;
}

// The unit directories in byte order, as the C locale sorts them.
std::vector<std::string> unit_names(const std::string& base) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(base.c_str())) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            struct stat st {};
            if (stat((base + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                names.emplace_back(e->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// list_fails_once concerns the next listing only, not a read or download that comes first.
bool is_listing_run() {
    std::string cmdline;
    if (!read_text("/proc/self/cmdline", &cmdline))
        return false;
    size_t pos = cmdline.find('\0'); // skip the program's name
    while (pos != std::string::npos && pos + 1 < cmdline.size()) {
        const size_t end = cmdline.find('\0', pos + 1);
        const std::string arg = cmdline.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
        if (arg == "-l" || arg == "--list")
            return true;
        pos = end;
    }
    return false;
}

} // namespace

extern "C" {

// Knob files are checked here, where a failure makes dfu-util stop with "unable to initialize libusb"
// (exit 74); a failing device list would only make it free an uninitialised pointer.
int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    const std::string base = units_dir() + "/units";
    bool glitch = false;
    for (const std::string& name : unit_names(base)) {
        const std::string knobs = base + "/" + name + "/knobs";
        Knobs k;
        if (!parse_knobs(knobs, &k))
            return LIBUSB_ERROR_OTHER;
        if (k.list_fails_once && is_listing_run()) {
            drop_knob_line(knobs, "list_fails_once");
            glitch = true;
        }
    }
    if (glitch) {
        // What a passing failure of libusb's start-up looks like (its udev scan or event monitor):
        // it comes before any device is looked at.
        trace("list_fails_once: libusb_init fails");
        return LIBUSB_ERROR_OTHER;
    }
    if (ctx)
        *ctx = &the_context;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context*) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return LIBUSB_SUCCESS;
}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version v = {1, 0, 26, 11724, " (emulated unit)", "https://libusb.info"};
    return &v;
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
    switch (errcode) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    const std::string base = units_dir() + "/units";
    const std::vector<std::string> names = unit_names(base);
    // dfu-util frees the list even when this fails: give it nothing to free rather than garbage.
    *list = nullptr;
    std::vector<libusb_device*> devs;
    const long long now = now_epoch_ms();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string dir = base + "/" + names[i];
        Knobs k;
        if (!parse_knobs(dir + "/knobs", &k)) {
            for (libusb_device* d : devs)
                delete d;
            return LIBUSB_ERROR_OTHER;
        }
        if (now < absent_until(dir))
            continue;
        auto* d = new libusb_device;
        d->serial = names[i];
        d->dir = dir;
        d->index = static_cast<int>(i);
        d->knobs = k;
        d->devnum = static_cast<uint8_t>(k.devnum >= 0 ? k.devnum : 7 + static_cast<int>(i));
        devs.push_back(d);
    }
    auto** out = static_cast<libusb_device**>(calloc(devs.size() + 1, sizeof(libusb_device*)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    // dfu-util prints the devices in the reverse of this order; reversed here, its listing follows
    // the directory names.
    std::copy(devs.rbegin(), devs.rend(), out);
    *list = out;
    trace("%zu unit(s) present", devs.size());
    return static_cast<ssize_t>(devs.size());
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev && --dev->refs == 0)
        delete dev;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (!list)
        return;
    if (unref_devices)
        for (libusb_device** p = list; *p; ++p)
            libusb_unref_device(*p);
    free(list);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, struct libusb_device_descriptor* desc) {
    *desc = {};
    desc->bLength = 18;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0100;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = 0x0483;
    desc->idProduct = 0xDF11;
    desc->bcdDevice = 0x2200;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    const int alts = alt_count(dev);
    // One allocation: the configuration, its interface, the alt settings and the functional descriptor.
    const size_t bytes = sizeof(libusb_config_descriptor) + sizeof(libusb_interface) +
                         alts * sizeof(libusb_interface_descriptor) + 9;
    auto* mem = static_cast<unsigned char*>(calloc(1, bytes));
    if (!mem)
        return LIBUSB_ERROR_NO_MEM;
    auto* cfg = reinterpret_cast<libusb_config_descriptor*>(mem);
    auto* intf = reinterpret_cast<libusb_interface*>(mem + sizeof(libusb_config_descriptor));
    auto* alt = reinterpret_cast<libusb_interface_descriptor*>(mem + sizeof(libusb_config_descriptor) +
                                                               sizeof(libusb_interface));
    auto* func = mem + sizeof(libusb_config_descriptor) + sizeof(libusb_interface) +
                 alts * sizeof(libusb_interface_descriptor);
    static const unsigned char functional[9] = {0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01};
    memcpy(func, functional, sizeof functional);
    cfg->bLength = 9;
    cfg->bDescriptorType = LIBUSB_DT_CONFIG;
    cfg->wTotalLength = static_cast<uint16_t>(9 + 9 * alts + 9);
    cfg->bNumInterfaces = 1;
    cfg->bConfigurationValue = 1;
    cfg->iConfiguration = 0;
    cfg->bmAttributes = 0xC0;
    cfg->MaxPower = 0x32;
    cfg->interface = intf;
    intf->altsetting = alt;
    intf->num_altsetting = alts;
    for (int n = 0; n < alts; ++n) {
        alt[n].bLength = 9;
        alt[n].bDescriptorType = LIBUSB_DT_INTERFACE;
        alt[n].bInterfaceNumber = 0;
        alt[n].bAlternateSetting = static_cast<uint8_t>(n);
        alt[n].bNumEndpoints = 0;
        alt[n].bInterfaceClass = 0xFE;
        alt[n].bInterfaceSubClass = 0x01;
        alt[n].bInterfaceProtocol = 0x02;
        alt[n].iInterface = static_cast<uint8_t>(4 + n);
    }
    alt[alts - 1].extra = func;
    alt[alts - 1].extra_length = 9;
    *config = cfg;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    free(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    return dev->devnum;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    if (port_numbers_len < 2)
        return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = 1;
    port_numbers[1] = static_cast<uint8_t>(4 + dev->index);
    return 2;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    if (dev->gone || now_epoch_ms() < absent_until(dev->dir))
        return LIBUSB_ERROR_NO_DEVICE;
    // The device node is there but not writable for this user (no udev rule).
    if (dev->knobs.access_denied)
        return LIBUSB_ERROR_ACCESS;
    *handle = new libusb_device_handle{libusb_ref_device(dev)};
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (!handle)
        return;
    libusb_unref_device(handle->dev);
    delete handle;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
    if (handle->dev->gone)
        return LIBUSB_ERROR_NO_DEVICE;
    // Another program (or a kernel driver) holds the interface.
    if (handle->dev->knobs.busy)
        return LIBUSB_ERROR_BUSY;
    return interface_number == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int interface_number) {
    if (handle->dev->gone)
        return LIBUSB_ERROR_NO_DEVICE;
    return interface_number == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface_number,
                                                 int alternate_setting) {
    libusb_device* d = handle->dev;
    if (d->gone)
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number != 0 || alternate_setting < 0 || alternate_setting >= alt_count(d))
        return LIBUSB_ERROR_NOT_FOUND;
    d->alt = alternate_setting;
    d->state = dfuIDLE;
    d->status = OK;
    return LIBUSB_SUCCESS;
}

// A reset makes the bootloader start the application, like "leave".
int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
    if (!handle->dev->gone)
        leave(handle->dev);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data,
                                        uint16_t wLength, unsigned int) {
    libusb_device* d = handle->dev;
    if (d->gone)
        return LIBUSB_ERROR_NO_DEVICE;
    if (realistic())
        sleep_us(usb_time_us(wLength));
    trace("ctrl %02X %u wValue %u wLength %u state %u", request_type, bRequest, wValue, wLength, d->state);
    if (request_type == 0x80 && bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR)
        return standard_get_descriptor(d, wValue, wIndex, data, wLength);
    if ((request_type & 0x1F) != LIBUSB_RECIPIENT_INTERFACE || wIndex != 0)
        return LIBUSB_ERROR_PIPE;
    const bool in = request_type & 0x80;
    if (in && bRequest == GETSTATUS)
        return get_status(d, data, wLength);
    if (in && bRequest == GETSTATE) {
        if (wLength < 1)
            return stall(d);
        data[0] = d->state;
        return 1;
    }
    if (d->state == dfuERROR && !(bRequest == CLRSTATUS && !in))
        return stall(d);
    if (in && bRequest == UPLOAD)
        return upload(d, wValue, data, wLength);
    if (!in && bRequest == DNLOAD)
        return dnload(d, wValue, data, wLength);
    if (!in && bRequest == CLRSTATUS) {
        if (d->state != dfuERROR)
            return stall(d);
        d->state = dfuIDLE;
        d->status = OK;
        return 0;
    }
    if (!in && bRequest == ABORT) {
        switch (d->state) {
        case dfuIDLE:
        case dfuDNLOAD_SYNC:
        case dfuDNLOAD_IDLE:
        case dfuMANIFEST_SYNC:
        case dfuUPLOAD_IDLE:
            if (d->state == dfuUPLOAD_IDLE)
                end_of_upload(d);
            d->state = dfuIDLE;
            d->status = OK;
            return 0;
        default:
            return stall(d);
        }
    }
    return stall(d);
}

} // extern "C"
