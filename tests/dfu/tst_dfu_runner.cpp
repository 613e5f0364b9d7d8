// The command table and the runner, against tests/fixtures/dfu-util standing in for the tool.

#include "DFU.h"
#include "FixtureTool.h"
#include "LogCapture.h"
#include "ProcessWatch.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <thread>

Q_DECLARE_METATYPE(DFU::Command)

namespace {

QString quoted(const QString& s) {
    return QLatin1Char('"') + s + QLatin1Char('"');
}

// A string list as the debug stream writes it: ("a", "b").
QString listed(const QStringList& items) {
    QStringList q;
    for (const QString& s : items)
        q << quoted(s);
    return QLatin1Char('(') + q.join(QStringLiteral(", ")) + QLatin1Char(')');
}

QString start_line(const QString& program, const QStringList& args) {
    return QStringLiteral("info: Start  ") + quoted(program) + QLatin1Char(' ') + listed(args);
}

QString exit_line(int code, const QString& program, const QStringList& args, const QString& text_as_logged) {
    return QStringLiteral("info: Exit with %1 from ").arg(code) + quoted(program) + QLatin1Char(' ') +
           listed(args) + QStringLiteral(" returned: ") + quoted(text_as_logged);
}

const QString target = QStringLiteral("/tmp/some dir/uploaded.bin");

// The captured output of dfu-util 0.11 writing 131072 bytes: progress lines rewritten with "\r".
QByteArray download_output() {
    QByteArray out = "Downloading element to address = 0x08000000, size = 131072\n";
    for (const char* label : {"Erase   ", "Download"}) {
        for (int percent : {0, 4, 9, 48, 96, 100}) {
            const int bar = 25 * percent / 100;
            out += '\r' + QByteArray(label) + "\t[" + QByteArray(bar, '=') + QByteArray(25 - bar, ' ') +
                   "] " + QByteArray::number(percent).rightJustified(3) + "% " +
                   QByteArray::number(131072 * percent / 100).rightJustified(12) + " bytes";
        }
        out += '\n' + QByteArray(label) + " done.\n";
    }
    return out +
           "File downloaded successfully\nSubmitting leave request...\nTransitioning to dfuMANIFEST state\n";
}

} // namespace

class TestDfuRunner : public QObject {
    Q_OBJECT

private slots:
    void table_renders_as_text_data();
    void table_renders_as_text();
    void command_lines_data();
    void command_lines();
    void codes_texts_and_log_lines_data();
    void codes_texts_and_log_lines();
    void tool_that_cannot_start_data();
    void tool_that_cannot_start();
    void tool_running_past_the_time_limit();
    void execution_test_data();
    void execution_test();
    void scan_through_the_tool_data();
    void scan_through_the_tool();
    void serial_follows_the_vendor_filter_data();
    void serial_follows_the_vendor_filter();
    void time_limits_data();
    void time_limits();
    void stop_request_data();
    void stop_request();
    void standard_error_is_kept();
    void progress_as_the_tool_prints_it_data();
    void progress_as_the_tool_prints_it();
    void diagnoses_data();
    void diagnoses();
    void scan_diagnosis_data();
    void scan_diagnosis();
};

void TestDfuRunner::table_renders_as_text_data() {
    QTest::addColumn<DFU::Command>("command");
    QTest::addColumn<QString>("text");
    QTest::newRow("list") << DFU::commands.at(DFU::list) << "dfu-util(-d,0483,-l)";
    QTest::newRow("version") << DFU::commands.at(DFU::version) << "dfu-util(-V)";
    QTest::newRow("upload_OTP") << DFU::commands.at(DFU::upload_OTP)
                                << "dfu-util(-d,0483,-a,2,-s,0x1FFF7800:512,-U)";
    QTest::newRow("no arguments") << DFU::commands.at(DFU::setup_prepared_config) << "dfu-util()";
    QTest::newRow("default") << DFU::Command() << "dfu-util()";
    DFU::Command absolute;
    absolute.program = QStringLiteral("/opt/sim.sh");
    absolute.arguments = QStringList{QStringLiteral("--dfu-util-command"), QStringLiteral("list")};
    QTest::newRow("rewritten") << absolute << "/opt/sim.sh(--dfu-util-command,list)";
}

void TestDfuRunner::table_renders_as_text() {
    QFETCH(DFU::Command, command);
    QFETCH(QString, text);
    QCOMPARE(QString(command), text);
}

void TestDfuRunner::command_lines_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QStringList>("arguments");

    const QStringList d{"-d", "0483"};
    QTest::newRow("version") << int(DFU::version) << QStringList{} << QStringList{"-V"};
    QTest::newRow("list") << int(DFU::list) << QStringList{} << d + QStringList{"-l"};
    QTest::newRow("upload_OTP") << int(DFU::upload_OTP) << QStringList{target}
                                << d + QStringList{"-a", "2", "-s", "0x1FFF7800:512", "-U", target};
    QTest::newRow("upload_FW_info") << int(DFU::upload_FW_info) << QStringList{target}
                                    << d + QStringList{"-a", "0", "-s", "0x08000000:2048", "-U", target};
    QTest::newRow("upload_FW") << int(DFU::upload_FW) << QStringList{"-s", "0x08000000:131072", "-U", target}
                               << d + QStringList{"-a", "0", "-s", "0x08000000:131072", "-U", target};
    QTest::newRow("download_FW") << int(DFU::download_FW) << QStringList{target}
                                 << d + QStringList{"-a", "0", "-s", "0x08000000:leave", "-D", target};
    QTest::newRow("setup_prepared_config")
        << int(DFU::setup_prepared_config) << QStringList{"two_units"} << QStringList{"two_units"};
}

void TestDfuRunner::command_lines() {
    QFETCH(int, id);
    QFETCH(QStringList, extra);
    QFETCH(QStringList, arguments);
    QCOMPARE(DFU::commands.size(), std::size_t(7));

    for (const bool with_path : {true, false}) {
        FixtureTool tool;
        const QByteArray saved_path = qgetenv("PATH");
        if (!with_path) {
            // A bare "dfu-util" is found through the search path, where the fixture comes first.
            DFU::Command::path.clear();
            qputenv("PATH", FixtureTool::directory().toUtf8() + ':' + saved_path);
        }
        LogCapture log;
        const DFU::Result result = DFU::run_command(DFU::CmdID(id), extra);
        qputenv("PATH", saved_path);

        QCOMPARE(result.code, 0);
        const QList<QStringList> runs = tool.runs();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(QFileInfo(runs[0][0]).canonicalFilePath(),
                 QFileInfo(FixtureTool::program()).canonicalFilePath());
        QCOMPARE(runs[0].mid(1), arguments);

        const QString program = with_path ? FixtureTool::program() : QStringLiteral("dfu-util");
        const QStringList expected_log =
            id == DFU::list ? QStringList{} : QStringList{start_line(program, arguments)};
        QCOMPARE(log.lines(), expected_log);
    }
}

void TestDfuRunner::codes_texts_and_log_lines_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("exit_logged");

    const int version = DFU::version;
    const int list = DFU::list;
    QTest::newRow("no output") << version << QByteArray() << 0 << QString() << 0 << QString() << false;
    QTest::newRow("output cut at NUL")
        << version << QByteArray("before\0after\n", 13) << 0 << QString() << 0 << "before" << false;
    QTest::newRow("UTF-8 output") << version
                                  << QByteArray("Gr\xc3\xbc\xc3\x9f"
                                                "e\n")
                                  << 0 << QString() << 0 << QString::fromUtf8("Grüße\n") << false;
    QTest::newRow("exit code 74") << version << QByteArray("partial\n") << 74 << QString() << 74
                                  << "partial\n"
                                  << true;
    QTest::newRow("killed") << version << QByteArray("half") << 0 << "KILL" << -1 << "half" << true;
    QTest::newRow("crashed") << version << QByteArray() << 0 << "SEGV" << -1 << QString() << true;
    QTest::newRow("list succeeds quietly")
        << list << QByteArray("listing\n") << 0 << QString() << 0 << "listing\n"
        << false;
    QTest::newRow("list failure is logged")
        << list << QByteArray() << 1 << QString() << 1 << QString() << true;
}

void TestDfuRunner::codes_texts_and_log_lines() {
    QFETCH(int, id);
    QFETCH(QByteArray, output);
    QFETCH(int, exit);
    QFETCH(QString, signal);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(bool, exit_logged);

    FixtureTool tool;
    tool.print(output);
    tool.set("FIXTURE_EXIT", exit);
    if (!signal.isEmpty())
        tool.set("FIXTURE_SIGNAL", signal);

    LogCapture log;
    const DFU::Result result = DFU::run_command(DFU::CmdID(id), {});
    QCOMPARE(result.code, code);
    QCOMPARE(result.text, text);

    const QStringList args = DFU::commands.at(DFU::CmdID(id)).arguments;
    QStringList expected;
    if (id != DFU::list)
        expected << start_line(FixtureTool::program(), args);
    if (exit_logged) {
        QString logged = text;
        logged.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
        expected << exit_line(code, FixtureTool::program(), args, logged);
    }
    QCOMPARE(log.lines(), expected);
}

void TestDfuRunner::tool_that_cannot_start_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing file") << "no-such-dfu-util"
                                  << "No such file or directory";
    QTest::newRow("no execute permission") << "not-executable"
                                           << "Permission denied";
}

// Must not pass for a successful run, and must not wait for a process that never ran.
void TestDfuRunner::tool_that_cannot_start() {
    QFETCH(QString, program);
    QFETCH(QString, reason);

    FixtureTool tool;
    DFU::commands[DFU::upload_OTP].program = program;
    const QString full = FixtureTool::directory() + QLatin1Char('/') + program;
    QVERIFY(QFileInfo::exists(full) == (program == QLatin1String("not-executable")));

    LogCapture log;
    const DFU::Result result = DFU::run_command(DFU::upload_OTP, {target});
    QCOMPARE(result.code, -1);
    QVERIFY2(result.text.startsWith(QStringLiteral("Failed to start ") + full + QStringLiteral(": ")),
             qPrintable(result.text));
    QVERIFY2(result.text.contains(reason), qPrintable(result.text));

    const QStringList args = DFU::commands.at(DFU::upload_OTP).arguments + QStringList{target};
    QCOMPARE(log.lines(), (QStringList{start_line(full, args), exit_line(-1, full, args, result.text)}));

    // The scan and the check see the failure too.
    DFU::commands[DFU::list].program = program;
    DFU::commands[DFU::version].program = program;
    const DFU::ScanResult scan = DFU::make_scan();
    QCOMPARE(scan.code, 1);
    QVERIFY(scan.devices.empty());
    log.clear();
    QVERIFY(!DFU::dfu_util::execution_test());
    QVERIFY(log.lines().last().startsWith(
        QStringLiteral("info: Result of execution test: status was bad and output: \"Failed to start ")));
}

// Slow: the tool outlives the runner's real 30 s limit. Run through the test's "slow" entry.
void TestDfuRunner::tool_running_past_the_time_limit() {
    if (!qEnvironmentVariableIsSet("UPGRADE_SLOW_TESTS"))
        QSKIP("slow; run with UPGRADE_SLOW_TESTS=1 (ctest -L slow)");
    QCOMPARE(DFU::run_time_limit_ms, 30000);

    FixtureTool tool;
    tool.print("before\n");
    tool.set("FIXTURE_SLEEP", 3600);
    tool.set("FIXTURE_LATE_TEXT", QStringLiteral("after\n"));

    LogCapture log;
    const DFU::Result result = DFU::run_command(DFU::version, {});
    QCOMPARE(result.code, -1);
    QVERIFY(result.timed_out);
    QCOMPARE(result.text, QString());

    QString status;
    QDebug(&status) << QProcess::NormalExit;
    const QString program = FixtureTool::program();
    QCOMPARE(
        log.lines(),
        (QStringList{
            start_line(program, {"-V"}),
            QStringLiteral("info: waitForFinished(): Process did not finish in time, exit status: ") +
                status.trimmed() + QStringLiteral(" and output: \"before\\n\""),
            QStringLiteral("info: Ended ") + quoted(program) + QStringLiteral(" after its limit of 30000 ms"),
            exit_line(-1, program, {"-V"}, QString())}));
}

void TestDfuRunner::execution_test_data() {
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exit");
    QTest::addColumn<bool>("ok");

    const QByteArray banner = DFU::dfu_util::expected_output_of_execution_test.toUtf8();
    QTest::newRow("release 0.9") << banner << 0 << true;
    QTest::newRow("missing final newline") << banner.chopped(1) << 0 << false;
    QTest::newRow("extra line") << banner + "extra\n" << 0 << false;
    QTest::newRow("CRLF line ends") << QByteArray(banner).replace("\n", "\r\n") << 0 << false;
    QTest::newRow("another release") << QByteArray(banner).replace("0.9", "0.11") << 0 << false;
    QTest::newRow("right text, exit code 1") << banner << 1 << false;
    QTest::newRow("nothing") << QByteArray() << 0 << false;
}

void TestDfuRunner::execution_test() {
    QFETCH(QByteArray, output);
    QFETCH(int, exit);
    QFETCH(bool, ok);

    const QString& expected = DFU::dfu_util::expected_output_of_execution_test;
    QCOMPARE(expected.size(), 261);
    QCOMPARE(expected.count(QLatin1Char('\n')), 7);
    QVERIFY(expected.startsWith(QStringLiteral("dfu-util 0.9\n\n")) &&
            expected.endsWith(QStringLiteral("/\n\n")));

    FixtureTool tool;
    tool.print(output);
    tool.set("FIXTURE_EXIT", exit);
    LogCapture log;
    QCOMPARE(DFU::dfu_util::execution_test(), ok);

    QString shown = QString::fromUtf8(output);
    shown.replace(QLatin1Char('\r'), QStringLiteral("\\r")).replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    const QString verdict = output == expected.toUtf8() ? QStringLiteral("as expected") : shown;
    QCOMPARE(log.lines().last(), QStringLiteral("info: Result of execution test: status was ") +
                                     (exit == 0 ? "ok" : "bad") + QStringLiteral(" and output: ") +
                                     quoted(verdict));
}

void TestDfuRunner::scan_through_the_tool_data() {
    QTest::addColumn<int>("exit");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("log_lines");
    QTest::newRow("one unit") << 0 << 0 << 1 << 0;
    QTest::newRow("tool fails with a valid listing") << 74 << 1 << 0 << 1;
}

void TestDfuRunner::scan_through_the_tool() {
    QFETCH(int, exit);
    QFETCH(int, code);
    QFETCH(int, devices);
    QFETCH(int, log_lines);

    QByteArray listing;
    for (int alt = 3; alt >= 0; --alt)
        listing += "Found DFU: [0483:df11] ver=2200, devnum=7, cfg=1, intf=0, path=\"1-1.4\", alt=" +
                   QByteArray::number(alt) + ", name=\"@x\", serial=\"3574364C3034\"\n";
    FixtureTool tool;
    tool.print(listing);
    tool.set("FIXTURE_EXIT", exit);
    LogCapture log;
    const DFU::ScanResult scan = DFU::make_scan();
    QCOMPARE(scan.code, code);
    QCOMPARE(int(scan.devices.size()), devices);
    if (devices == 1)
        QCOMPARE(scan.devices[0].serial, QStringLiteral("3574364C3034"));
    QCOMPARE(log.lines().size(), log_lines);
}

void TestDfuRunner::serial_follows_the_vendor_filter_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QStringList>("arguments");
    const QStringList addressed{"-d", "0483", "-S", "3574364C3034"};
    QTest::newRow("upload_OTP") << int(DFU::upload_OTP) << QStringList{target}
                                << addressed + QStringList{"-a", "2", "-s", "0x1FFF7800:512", "-U", target};
    QTest::newRow("upload_FW") << int(DFU::upload_FW) << QStringList{"-s", "0x08000000:65536", "-U", target}
                               << addressed + QStringList{"-a", "0", "-s", "0x08000000:65536", "-U", target};
    QTest::newRow("download_FW") << int(DFU::download_FW) << QStringList{target}
                                 << addressed +
                                        QStringList{"-a", "0", "-s", "0x08000000:leave", "-D", target};
}

// The tool itself refuses any unit but the one that was listed and judged.
void TestDfuRunner::serial_follows_the_vendor_filter() {
    QFETCH(int, id);
    QFETCH(QStringList, extra);
    QFETCH(QStringList, arguments);
    FixtureTool tool;
    QCOMPARE(DFU::run_command(DFU::CmdID(id), extra, {QStringLiteral("3574364C3034"), nullptr}).code, 0);
    QCOMPARE(tool.runs().value(0).mid(1), arguments);
}

void TestDfuRunner::time_limits_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<int>("code");
    // The tool sleeps 2 s; reads and listings have 300 ms, a download its own longer limit.
    QTest::newRow("listing ended at its limit") << int(DFU::list) << -1;
    QTest::newRow("read ended at its limit") << int(DFU::upload_FW_info) << -1;
    QTest::newRow("download within its own limit") << int(DFU::download_FW) << 0;
}

void TestDfuRunner::time_limits() {
    QFETCH(int, id);
    QFETCH(int, code);
    const int saved = DFU::run_time_limit_ms;
    DFU::run_time_limit_ms = 300;
    FixtureTool tool;
    tool.set("FIXTURE_SLEEP", 2);
    tool.set("FIXTURE_PID_FILE", tool.file(QStringLiteral("pid")));
    LogCapture log;
    const DFU::Result result = DFU::run_command(DFU::CmdID(id), {target});
    DFU::run_time_limit_ms = saved;
    QCOMPARE(result.code, code);
    QCOMPARE(result.timed_out, code != 0);
    QCOMPARE(log.contains(QStringLiteral("Process did not finish in time")), code != 0);
    // Ended with whatever the tool had started.
    const qint64 group = tool.read_file(QStringLiteral("pid")).trimmed().toLongLong();
    QTRY_COMPARE_WITH_TIMEOUT(process_watch::running_in_group(pid_t(group)), 0, 5000);
}

void TestDfuRunner::stop_request_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("ended");
    QTest::newRow("listing") << int(DFU::list) << true;
    QTest::newRow("read-back") << int(DFU::upload_FW) << true;
    // A unit left with half an image would not start: the download runs to its end.
    QTest::newRow("download") << int(DFU::download_FW) << false;
}

void TestDfuRunner::stop_request() {
    QFETCH(int, id);
    QFETCH(bool, ended);
    FixtureTool tool;
    tool.print("started\n");
    tool.set("FIXTURE_SLEEP", ended ? 600 : 1);
    tool.set("FIXTURE_PID_FILE", tool.file(QStringLiteral("pid")));
    DFU::RunControl control;
    // Another thread asks, as the window does, once the tool is running.
    std::thread asker([&] {
        while (tool.read_file(QStringLiteral("pid")).isEmpty())
            QThread::msleep(10);
        control.request_stop();
    });
    const DFU::Result result = DFU::run_command(DFU::CmdID(id), {target}, {QString(), &control});
    asker.join();
    QCOMPARE(result.stopped, ended);
    QCOMPARE(result.code, ended ? -1 : 0);
    QCOMPARE(result.text, QStringLiteral("started\n"));
    // SIGKILL takes effect as the kernel gets to each process of the group.
    const qint64 group = tool.read_file(QStringLiteral("pid")).trimmed().toLongLong();
    QTRY_COMPARE_WITH_TIMEOUT(process_watch::running_in_group(pid_t(group)), 0, 5000);
    // The request holds for later runs until it is cleared.
    if (ended) {
        QCOMPARE(DFU::run_command(DFU::CmdID(id), {target}, {QString(), &control}).code, -1);
        control.clear_stop();
        tool.set("FIXTURE_SLEEP", 0);
        QCOMPARE(DFU::run_command(DFU::CmdID(id), {target}, {QString(), &control}).code, 0);
    }
}

// Standard output stays the text that the parser and the log lines use; standard error says why.
void TestDfuRunner::standard_error_is_kept() {
    FixtureTool tool;
    tool.print("Opening DFU capable USB device...\n");
    tool.print_error("dfu-util: Warning: Invalid DFU suffix signature\n"
                     "dfu-util: Error during download (LIBUSB_ERROR_PIPE)\n");
    tool.set("FIXTURE_EXIT", 74);
    LogCapture log;
    const DFU::Result result = DFU::run_command(DFU::download_FW, {target});
    QCOMPARE(result.code, 74);
    QCOMPARE(result.text, QStringLiteral("Opening DFU capable USB device...\n"));
    QVERIFY(result.error.endsWith(QStringLiteral("(LIBUSB_ERROR_PIPE)\n")));
    QCOMPARE(DFU::short_reason(result), QStringLiteral("Error during download (LIBUSB_ERROR_PIPE)"));
    const QStringList args = DFU::commands.at(DFU::download_FW).arguments + QStringList{target};
    QCOMPARE(log.lines().last(),
             exit_line(74, FixtureTool::program(), args, "Opening DFU capable USB device...\\n") +
                 QStringLiteral(" and on standard error: \"dfu-util: Warning: Invalid DFU suffix signature\\n"
                                "dfu-util: Error during download (LIBUSB_ERROR_PIPE)\\n\""));
}

void TestDfuRunner::progress_as_the_tool_prints_it_data() {
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("reported");
    QTest::newRow("download: erase, then write")
        << download_output() << QStringList{"0:0", "0:4", "0:9", "0:48", "0:96", "0:100",
                                            "1:0", "1:4", "1:9", "1:48", "1:96", "1:100"};
    QTest::newRow("read-back") << QByteArray("\rUpload\t[                         ]   0%            0 bytes"
                                             "\rUpload\t[=========================] 100%       131072 bytes\n"
                                             "Upload done.\n")
                               << QStringList{"2:0", "2:100"};
    QTest::newRow("the same percentage twice")
        << QByteArray("\rUpload\t[=    ]  20%\rUpload\t[=    ]  20%\n") << QStringList{"2:20"};
    QTest::newRow("no progress lines")
        << QByteArray("Opening DFU capable USB device...\nUpload done.\n") << QStringList{};
}

// Each new percentage reaches the caller while the tool runs; the text stays the whole output.
void TestDfuRunner::progress_as_the_tool_prints_it() {
    QFETCH(QByteArray, output);
    QFETCH(QStringList, reported);
    FixtureTool tool;
    tool.print(output);
    DFU::RunControl control;
    QStringList seen;
    control.on_progress = [&seen](const DFU::Progress& p) {
        seen << QStringLiteral("%1:%2").arg(int(p.phase)).arg(p.percent);
    };
    const DFU::Result result = DFU::run_command(DFU::upload_FW, {target}, {QString(), &control});
    QCOMPARE(result.code, 0);
    QCOMPARE(result.text, QString::fromUtf8(output));
    QCOMPARE(seen, reported);
}

void TestDfuRunner::diagnoses_data() {
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("diagnosis");
    QTest::addColumn<QString>("reason");
    QTest::newRow("0.11, no access")
        << "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)\n"
        << "status_accessDenied"
        << "Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)";
    QTest::newRow("0.9, no access") << "dfu-util: Cannot open DFU device 0483:df11\n"
                                    << "status_accessDenied"
                                    << "Cannot open DFU device 0483:df11";
    QTest::newRow("gone while opened, not access")
        << "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_NO_DEVICE)\n"
        << ""
        << "Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_NO_DEVICE)";
    QTest::newRow("held by another program") << "dfu-util: Cannot claim interface - LIBUSB_ERROR_BUSY\n"
                                             << "status_busy"
                                             << "Cannot claim interface - LIBUSB_ERROR_BUSY";
    QTest::newRow("two units") << "dfu-util: More than one DFU capable USB device found! Try `--list' and "
                                  "specify the serial number or "
                                  "disconnect all but one device\n"
                               << "status_twoUnits"
                               << "More than one DFU capable USB device found! Try `--list' and specify the "
                                  "serial number or disconnect "
                                  "all but one device";
    QTest::newRow("warnings around the reason")
        << "dfu-util: Warning: Invalid DFU suffix signature\ndfu-util: Error during download get_status\n"
           "dfu-util: Non-valid multiplier ' ', assuming bytes\n"
        << ""
        << "Error during download get_status";
    QTest::newRow("nothing said") << ""
                                  << ""
                                  << "exit code 74";
}

void TestDfuRunner::diagnoses() {
    QFETCH(QString, error);
    QFETCH(QString, diagnosis);
    QFETCH(QString, reason);
    DFU::Result result;
    result.code = 74;
    result.error = error;
    QCOMPARE(DFU::diagnose(result), diagnosis);
    QCOMPARE(DFU::short_reason(result), reason);
}

void TestDfuRunner::scan_diagnosis_data() {
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<QString>("diagnosis");
    QByteArray one, two;
    for (const char* serial : {"3574364C3034", "3574364C3035"}) {
        QByteArray lines;
        for (int alt = 3; alt >= 0; --alt)
            lines += "Found DFU: [0483:df11] ver=2200, devnum=7, cfg=1, intf=0, path=\"1-1.4\", alt=" +
                     QByteArray::number(alt) + ", name=\"@x\", serial=\"" + serial + "\"\n";
        (one.isEmpty() ? one : two) = lines;
    }
    QTest::newRow("one unit") << one << QByteArray() << "";
    QTest::newRow("two units") << one + two << QByteArray() << "status_twoUnits";
    // The tool lists nothing and exits 0: only its standard error tells that a unit is there.
    QTest::newRow("a unit nobody may open")
        << QByteArray()
        << QByteArray("dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)\n")
        << "status_accessDenied";
    QTest::newRow("no unit") << QByteArray() << QByteArray() << "";
}

void TestDfuRunner::scan_diagnosis() {
    QFETCH(QByteArray, listing);
    QFETCH(QByteArray, error);
    QFETCH(QString, diagnosis);
    FixtureTool tool;
    tool.print(listing);
    tool.print_error(error);
    const DFU::ScanResult scan = DFU::make_scan();
    QCOMPARE(scan.diagnosis, diagnosis);
    QCOMPARE(scan.reason.isEmpty(), diagnosis.isEmpty());
}

QTEST_GUILESS_MAIN(TestDfuRunner)
#include "tst_dfu_runner.moc"
