// The embedded dfu-util as start-up unpacks it: Debian's release 0.11, so the check of the 0.9 banner
// fails (and says so), while the listing works and finds no unit on a machine without one.

#include "DFU.h"
#include "Files.h"
#include "LogCapture.h"
#include "support_misc.h"

#include <QTemporaryDir>
#include <QtTest>

class TestDfuTool : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void location();
    void execution_test_of_embedded_tool();
    void scan_without_unit();
    void execution_test_against_simulator();
};

void TestDfuTool::initTestCase() {
    // A stand-in USB library must not replace the one unpacked beside the tool.
    qunsetenv("LD_LIBRARY_PATH");
    QVERIFY(Files::extract_resources({Files::dfu_util_executable, Files::libusb_library}, true));
    QVERIFY(support_misc::mark_file_executable(DFU::dfu_util::full_path()));
    DFU::Command::path = Files::external_dir.path();
}

void TestDfuTool::location() {
    QCOMPARE(DFU::dfu_util::basename(), QStringLiteral("dfu-util"));
    QCOMPARE(DFU::dfu_util::full_path(), Files::external_dir.path() + QStringLiteral("/dfu-util"));
}

void TestDfuTool::execution_test_of_embedded_tool() {
    LogCapture log;
    QVERIFY(!DFU::dfu_util::execution_test());

    const QStringList lines = log.lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0],
             QStringLiteral("info: Start  \"") + DFU::dfu_util::full_path() + QStringLiteral("\" (\"-V\")"));
    // Ran fine (ok), but its banner is not the expected one, so the log shows its text.
    const QString prefix = QStringLiteral("info: Result of execution test: status was ok and output: \"");
    QVERIFY2(lines[1].startsWith(prefix + QStringLiteral("dfu-util 0.11\\n\\nCopyright 2005-2009")),
             qPrintable(lines[1]));
    QVERIFY(lines[1].endsWith(QStringLiteral("tickets/\\n\\n\"")));
}

void TestDfuTool::scan_without_unit() {
    LogCapture log;
    const DFU::ScanResult scan = DFU::make_scan();
    QCOMPARE(scan.code, 1);
    QVERIFY(scan.devices.empty());
    QCOMPARE(log.lines(), QStringList{});
}

// The simulating script prints the 0.9 banner; written independently, it must agree with ours.
void TestDfuTool::execution_test_against_simulator() {
    QTemporaryDir units;
    qputenv("VELTARO_UNITS_DIR", units.path().toUtf8());
    const auto saved = DFU::commands;
    const QString saved_path = DFU::Command::path;
    DFU::Command::path.clear();
    DFU::commands[DFU::version].program =
        QStringLiteral(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh");
    DFU::commands[DFU::version].arguments = QStringList{"--dfu-util-command", "version", "-V"};

    LogCapture log;
    const bool ok = DFU::dfu_util::execution_test();
    DFU::commands = saved;
    DFU::Command::path = saved_path;
    qunsetenv("VELTARO_UNITS_DIR");
    QVERIFY(ok);
    QCOMPARE(log.lines().last(),
             QStringLiteral("info: Result of execution test: status was ok and output: \"as expected\""));
}

QTEST_GUILESS_MAIN(TestDfuTool)
#include "tst_dfu_tool.moc"
