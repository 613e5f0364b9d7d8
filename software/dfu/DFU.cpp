#include "DFU.h"

#include "Files.h"
#include "support_misc.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDebugStateSaver>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

#include <signal.h>
#include <unistd.h>

// ---------------------------------------------------------------------------------------------------
// Listing parser

const QString DfuUtilParser::prefix_RE = QStringLiteral("^Found DFU: \\[0483:df11\\] ver=2200");
const QString DfuUtilParser::extract_serial_RE = QStringLiteral("serial=\\\"([0-9a-fA-F]+)\\\"");

namespace {

// Compiled on first use and kept: the listing is parsed on every poll.
const QRegularExpression& prefix_regex() {
    static const QRegularExpression re(DfuUtilParser::prefix_RE);
    return re;
}

const QRegularExpression& serial_regex() {
    static const QRegularExpression re(DfuUtilParser::extract_serial_RE);
    return re;
}

// UTF-8, cut at the first NUL byte.
QString decode_output(QByteArray bytes) {
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes);
}

} // namespace

DfuUtilParser::DfuUtilParser(const QString& listing) {
    const QRegularExpression& prefix = prefix_regex();
    const QRegularExpression& serial = serial_regex();

    int candidates = 0;
    for (const QString& line : listing.split(QLatin1Char('\n'), Qt::KeepEmptyParts)) {
        if (!prefix.match(line).hasMatch())
            continue;
        ++candidates;
        const QRegularExpressionMatch m = serial.match(line);
        if (!m.hasMatch()) {
            // A unit without a readable serial number counts as absent on this poll.
            qDebug() << line;
            status = no_dfu_device;
            return;
        }
        const QString found = m.captured(1);
        if (serials.empty() || serials.back() != found)
            serials.push_back(found);
    }

    nr_of_devices = int(serials.size());
    if (nr_of_devices == 1)
        status = candidates == 4 ? one_dfu_device : invalid_dfu_device;
    else if (nr_of_devices > 1)
        status = multiple_dfu_devices;
    else
        status = no_dfu_device;
}

QString DfuUtilParser::status_as_string() const {
    static const std::map<Status, QString> names = {
        {no_dfu_device, QStringLiteral("no_dfu_device")},
        {one_dfu_device, QStringLiteral("one_dfu_device")},
        {invalid_dfu_device, QStringLiteral("invalid_dfu_device")},
        {multiple_dfu_devices, QStringLiteral("multiple_dfu_devices")},
    };
    const auto it = names.find(status);
    return it == names.end() ? QString() : it->second;
}

namespace DFU {

// ---------------------------------------------------------------------------------------------------
// Command table and runner

QString Command::path;

Command::operator QString() const {
    return program + QLatin1Char('(') + arguments.join(QLatin1Char(',')) + QLatin1Char(')');
}

namespace {
Command make_command(QStringList arguments) {
    Command c;
    c.arguments = std::move(arguments);
    return c;
}
} // namespace

std::map<CmdID, Command> commands = {
    {version, make_command({QStringLiteral("-V")})},
    {list, make_command({QStringLiteral("-d"), QStringLiteral("0483"), QStringLiteral("-l")})},
    {upload_OTP,
     make_command({QStringLiteral("-d"), QStringLiteral("0483"), QStringLiteral("-a"), QStringLiteral("2"),
                   QStringLiteral("-s"), QStringLiteral("0x1FFF7800:512"), QStringLiteral("-U")})},
    {upload_FW_info,
     make_command({QStringLiteral("-d"), QStringLiteral("0483"), QStringLiteral("-a"), QStringLiteral("0"),
                   QStringLiteral("-s"), QStringLiteral("0x08000000:2048"), QStringLiteral("-U")})},
    {upload_FW,
     make_command({QStringLiteral("-d"), QStringLiteral("0483"), QStringLiteral("-a"), QStringLiteral("0")})},
    {download_FW,
     make_command({QStringLiteral("-d"), QStringLiteral("0483"), QStringLiteral("-a"), QStringLiteral("0"),
                   QStringLiteral("-s"), QStringLiteral("0x08000000:leave"), QStringLiteral("-D")})},
    {setup_prepared_config, make_command({})},
};

int run_time_limit_ms = 30000;
// 1 MiB of flash at the slowest sector erase (4 s per 128 KiB sector) and programming (100 µs per byte)
// that the part allows comes to about 2.5 minutes; twice that.
int download_time_limit_ms = 300000;

namespace {

// The tool gets a process group of its own: Ctrl+C in the terminal reaches the program (which lets a
// download finish) and not the tool, and ending a run ends whatever the tool itself started.
class ToolProcess : public QProcess {
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

void end_process_group(QProcess& process) {
    const qint64 pid = process.processId();
    if (pid <= 0 || ::kill(-pid_t(pid), SIGKILL) != 0)
        process.kill();
    // SIGKILL cannot be caught; the wait only reaps.
    process.waitForFinished(5000);
}

// Reports each new percentage of the progress lines that arrive, which may end anywhere in a chunk.
class ProgressReader {
public:
    explicit ProgressReader(RunControl* control) : control_(control) {}
    void feed(const QByteArray& chunk) {
        if (!control_ || !control_->on_progress)
            return;
        pending_ += chunk;
        const int end = std::max(pending_.lastIndexOf('\r'), pending_.lastIndexOf('\n'));
        if (end < 0)
            return;
        for (const Progress& p : progress_in(QString::fromUtf8(pending_.left(end + 1)))) {
            if (p.phase == last_.phase && p.percent == last_.percent && seen_)
                continue;
            seen_ = true;
            last_ = p;
            control_->on_progress(p);
        }
        pending_.remove(0, end + 1);
    }

private:
    RunControl* control_;
    QByteArray pending_;
    Progress last_;
    bool seen_ = false;
};

QStringList arguments_for(const Command& command, const QString& serial, const QStringList& extra) {
    QStringList arguments = command.arguments;
    if (!serial.isEmpty()) {
        const int vendor = arguments.indexOf(QStringLiteral("-d"));
        const int at = vendor >= 0 && vendor + 1 < arguments.size() ? vendor + 2 : arguments.size();
        arguments.insert(at, serial);
        arguments.insert(at, QStringLiteral("-S"));
    }
    return arguments + extra;
}

} // namespace

std::vector<Progress> progress_in(const QString& output) {
    static const QRegularExpression line(
        QStringLiteral("(Erase|Download|Upload)\\s*\\t\\[[= ]*\\]\\s*(\\d{1,3})%"));
    std::vector<Progress> found;
    QRegularExpressionMatchIterator it = line.globalMatch(output);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QStringRef word = m.capturedRef(1);
        Progress p;
        p.phase = word == QLatin1String("Erase")      ? Progress::erase
                  : word == QLatin1String("Download") ? Progress::download
                                                      : Progress::upload;
        p.percent = std::min(m.capturedRef(2).toInt(), 100);
        found.push_back(p);
    }
    return found;
}

Result run_command(CmdID id, const QStringList& extra, const RunOptions& options) {
    const Command& command = commands[id];
    const QString program =
        Command::path.isEmpty() ? command.program : Command::path + QLatin1Char('/') + command.program;
    const QStringList arguments = arguments_for(command, options.serial, extra);

    // The listing runs on every poll; logging it would flood the log.
    if (id != list)
        qInfo() << "Start " << program << arguments;

    ToolProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments, QIODevice::ReadWrite);

    Result result;
    // A tool that never ran must not pass for a successful one, and there is nothing to wait for.
    if (!process.waitForStarted(-1)) {
        result.code = -1;
        result.text = QStringLiteral("Failed to start %1: %2").arg(program, process.errorString());
    } else {
        RunControl* control = options.control;
        // A half-written unit would not start, so a download runs to its end whatever is asked.
        const bool stoppable = control && id != download_FW;
        const int limit_ms = id == download_FW ? download_time_limit_ms : run_time_limit_ms;
        const QDeadlineTimer limit(limit_ms);
        ProgressReader progress(control);
        QByteArray output;
        while (process.state() != QProcess::NotRunning) {
            if (stoppable && control->stop_requested()) {
                end_process_group(process);
                result.stopped = true;
                qInfo() << "Stop requested: ended" << program;
                break;
            }
            if (limit.hasExpired()) {
                output += process.readAllStandardOutput();
                qInfo() << "waitForFinished(): Process did not finish in time, exit status:"
                        << process.exitStatus() << "and output:" << decode_output(output);
                end_process_group(process);
                result.timed_out = true;
                qInfo() << "Ended" << program << "after its limit of" << limit_ms << "ms";
                output.clear();
                break;
            }
            // Short waits while someone may ask for a stop; otherwise up to the limit.
            const int wait = stoppable ? std::min<qint64>(50, limit.remainingTime()) : limit.remainingTime();
            if (!process.waitForReadyRead(int(std::max(wait, 1))))
                process.waitForFinished(int(std::max(wait, 1)));
            const QByteArray chunk = process.readAllStandardOutput();
            output += chunk;
            progress.feed(chunk);
        }
        const QByteArray rest = process.readAllStandardOutput();
        progress.feed(rest);
        output += rest;
        result.text = decode_output(output);
        result.error = decode_output(process.readAllStandardError());
        const bool ended = result.stopped || result.timed_out;
        result.code = !ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    if (result.code != 0) {
        QDebug line = qInfo();
        line << "Exit with" << result.code << "from" << program << arguments << "returned:" << result.text;
        if (!result.error.isEmpty())
            line << "and on standard error:" << result.error;
    }
    return result;
}

QString short_reason(const Result& result) {
    if (result.timed_out)
        return QStringLiteral("the tool did not finish in time");
    if (result.stopped)
        return QStringLiteral("stopped");
    // The last line that is not a warning; the tool's name in front of it says nothing.
    const QStringList lines = result.error.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        QString line = it->trimmed();
        if (line.startsWith(QLatin1String("dfu-util: ")))
            line = line.mid(10);
        if (line.isEmpty() || line.startsWith(QLatin1String("Warning")) ||
            line.startsWith(QLatin1String("A valid DFU suffix")) ||
            line.contains(QLatin1String("multiplier")))
            continue;
        return line;
    }
    if (result.code == -1)
        return result.text.startsWith(QLatin1String("Failed to start")) ? result.text
                                                                        : QStringLiteral("the tool crashed");
    return QStringLiteral("exit code %1").arg(result.code);
}

QString diagnose(const Result& result) {
    // What the tool says on standard error, most specific first.
    static const std::vector<std::pair<QRegularExpression, QString>> table = {
        {QRegularExpression(QStringLiteral("Cannot open DFU device 0483:df11.*LIBUSB_ERROR_ACCESS")),
         QStringLiteral("status_accessDenied")},
        // Release 0.9 names no reason; access is what keeps a listed unit closed on a desktop.
        {QRegularExpression(QStringLiteral("Cannot open DFU device 0483:df11$"),
                            QRegularExpression::MultilineOption),
         QStringLiteral("status_accessDenied")},
        {QRegularExpression(QStringLiteral("LIBUSB_ERROR_ACCESS")), QStringLiteral("status_accessDenied")},
        {QRegularExpression(QStringLiteral("LIBUSB_ERROR_BUSY")), QStringLiteral("status_busy")},
        {QRegularExpression(QStringLiteral("More than one DFU capable USB device found")),
         QStringLiteral("status_twoUnits")},
    };
    for (const auto& [pattern, id] : table)
        if (pattern.match(result.error).hasMatch())
            return id;
    return QString();
}

// ---------------------------------------------------------------------------------------------------
// Scan

ScanResult scan_for_devices(QString listing) {
    const DfuUtilParser parser(listing);
    ScanResult result;
    result.code = 1;
    result.devices.reserve(parser.serials.size());
    for (const QString& serial : parser.serials)
        result.devices.push_back(DeviceItem{serial});
    if (parser.status == DfuUtilParser::one_dfu_device)
        result.code = 0;
    return result;
}

ScanResult make_scan(RunControl* control) {
    const Result run = run_command(list, {}, {QString(), control});
    ScanResult result = run.code == 0 ? scan_for_devices(run.text) : ScanResult();
    if (result.code != 0) {
        result.diagnosis = diagnose(run);
        result.reason = short_reason(run);
        if (result.diagnosis.isEmpty() && result.devices.size() > 1) {
            result.diagnosis = QStringLiteral("status_twoUnits");
            result.reason = QStringLiteral("%1 units listed").arg(result.devices.size());
        }
        if (result.diagnosis.isEmpty())
            result.reason.clear();
    }
    return result;
}

// ---------------------------------------------------------------------------------------------------
// Device information

namespace {
QString working_file(const QString& name) {
    return Files::external_dir.path() + QLatin1Char('/') + name;
}
} // namespace

DeviceInfo::operator QString() const {
    QString text = QStringLiteral("DeviceInfo:\n");
    if (valid) {
        text += QStringLiteral("\tDevice type:\t") + QString::number(int(device_type)) + QLatin1Char('\n');
        text += QStringLiteral("\tFW_revision:\t") + FW_revision + QLatin1Char('\n');
    } else {
        text += QStringLiteral("Invalid");
    }
    return text;
}

namespace {
RunOptions addressing(const DeviceItem* item, RunControl* control) {
    return RunOptions{item ? item->serial : QString(), control};
}
} // namespace

Device::FW_Info read_FW_Info(const DeviceItem* item, RunControl* control) {
    const QString path = working_file(Files::uploaded_FW_info_fileName_bin);
    // An earlier unit's data must never be decoded as this unit's.
    support_misc::ensure_file_is_deleted(path);
    const Result run = run_command(upload_FW_info, {path}, addressing(item, control));
    if (run.code != 0)
        return Device::FW_Info();
    return Device::make_FW_Info(path);
}

Result read_device_info(const DeviceItem* item, DeviceInfo* info, RunControl* control) {
    const QString path = working_file(Files::uploaded_OTP_fileName_bin);
    support_misc::ensure_file_is_deleted(path);
    Result result = run_command(upload_OTP, {path}, addressing(item, control));
    if (result.code != 0)
        return result;

    info->OTP_info = Device::make_OTP_Info(path);
    if (info->OTP_info.blank)
        qInfo().noquote() << result.text << "OTP is blank.\n";
    info->device_type = info->OTP_info.product_info.type;
    info->valid = true;
    qInfo() << QString(info->OTP_info);

    info->FW_info = read_FW_Info(item, control);

    const bool accepted = info->FW_info.product_info == info->OTP_info.product_info ||
                          (info->OTP_info.blank && have_service_build());
    if (accepted) {
        info->FW_revision = info->FW_info.revision;
        qInfo().noquote() << QString(*info);
        qInfo().noquote() << QString(info->FW_info);
    } else {
        result.text += QStringLiteral("FW assumed invalid because of product type mismatch.") +
                       QStringLiteral("\nOTP contains") + QString(info->OTP_info.product_info) +
                       QStringLiteral("\nwhereas FW contains\n") + QString(info->FW_info);
        qInfo().noquote() << result.text;
        info->FW_info.valid = false;
    }
    return result;
}

// ---------------------------------------------------------------------------------------------------
// Download, read-back and comparison

int download_FW_to_device(QString image) {
    return download_FW_to_device(image, nullptr, nullptr).code;
}

Result download_FW_to_device(QString image, const DeviceItem* item, RunControl* control) {
    return run_command(download_FW, {image}, addressing(item, control));
}

bool download_written_before_failure(const Result& result) {
    return result.code != 0 && !result.timed_out &&
           result.text.contains(QLatin1String("Submitting leave request"));
}

int upload_FW_from_device(QString file, int size, const DeviceItem* item, RunControl* control) {
    support_misc::ensure_file_is_deleted(file);
    const QStringList extra = {QStringLiteral("-s"), QStringLiteral("0x08000000:") + QString::number(size),
                               QStringLiteral("-U"), file};
    return run_command(upload_FW, extra, addressing(item, control)).code;
}

int size_of_binary_file(QString path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return int(file.size());
}

bool compare_FW_bin_files(QString first, QString second) {
    const int size = size_of_binary_file(first);
    if (size <= 0)
        return false;
    if (size_of_binary_file(second) != size)
        return false;
    QFile a(first);
    QFile b(second);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly))
        return false;
    return a.readAll() == b.readAll();
}

bool upload_and_compare_FW_bin(QString reference, QString target, const DeviceItem* item,
                               RunControl* control) {
    const int size = size_of_binary_file(reference);
    if (size <= 0)
        return false;
    if (upload_FW_from_device(target, size, item, control) != 0)
        return false;
    return compare_FW_bin_files(reference, target);
}

Device::FW_Info read_FW_Info_from_desired_FW() {
    const QString path = working_file(Files::desired_FW_fileName_bin);
    qDebug() << "Reading desired FW_Info from " << path;
    return Device::make_FW_Info(path);
}

namespace {
bool desired_read = false;
Device::FW_Info& desired_storage() {
    static Device::FW_Info info;
    return info;
}
} // namespace

const Device::FW_Info& desired_FW_Info() {
    if (!desired_read) {
        // Set first: the file is read at most once, whatever the read yields.
        desired_read = true;
        desired_storage() = read_FW_Info_from_desired_FW();
    }
    return desired_storage();
}

// ---------------------------------------------------------------------------------------------------
// The tool itself

namespace dfu_util {

const QString expected_output_of_execution_test =
    QStringLiteral("dfu-util 0.9\n"
                   "\n"
                   "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                   "Copyright 2010-2016 Tormod Volden and Stefan Schmidt\n"
                   "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                   "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n"
                   "\n");

QString basename() {
    return Files::dfu_util_executable_fileName;
}

QString full_path() {
    return QStringLiteral("%1/%2").arg(Files::external_dir.path(), Files::dfu_util_executable_fileName);
}

bool execution_test() {
    const Result run = run_command(version, {});
    QString text = run.text;
    if (support_misc::compiled_for_platform(support_misc::windows))
        text = support_misc::remove_carriage_returns(text, QChar(13));
    const bool as_expected = text == expected_output_of_execution_test;
    qInfo() << "Result of execution test: status was" << (run.code == 0 ? "ok" : "bad")
            << "and output:" << (as_expected ? QStringLiteral("as expected") : text);
    return run.code == 0 && as_expected;
}

} // namespace dfu_util

} // namespace DFU

QDebug operator<<(QDebug debug, const DFU::DeviceInfo& info) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(info);
    return debug;
}
