// The program's own path into simulator mode: the rewritten command table, and the DFU functions
// (scan, reads, download, read-back and comparison) driving the simulating script scenario by scenario.

#include "DFU.h"
#include "Files.h"
#include "simulator.h"

#include "../common/LogCapture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestSimulator : public QObject {
    Q_OBJECT
    QTemporaryDir units_;
    const std::map<DFU::CmdID, DFU::Command> original_ = DFU::commands;

    static QString working(const QString& name) { return Files::external_dir.path() + "/" + name; }

    static void setup(const QString& scenario) {
        QCOMPARE(simulator::sim_setup_prepared_config(scenario), 0);
    }
    static DFU::DeviceInfo read_unit(DFU::Result* result = nullptr) {
        const DFU::ScanResult scan = DFU::make_scan();
        DFU::DeviceInfo info;
        if (scan.code == 0) {
            const DFU::Result r = DFU::read_device_info(&scan.devices.front(), &info);
            if (result)
                *result = r;
        }
        return info;
    }

private slots:
    void initTestCase() {
        // A state directory of our own, so that tests can run in parallel.
        qputenv("VELTARO_UNITS_DIR", units_.path().toLocal8Bit());
        qputenv("VELTARO_SIM_FIRMWARE", UPGRADE_FIRMWARE_BIN);
        QVERIFY(Files::extract_resources({Files::desired_FW_bin}, true));
        simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
    }

    void commandTable() {
        const QString script = simulator::dfu_util_path("dfu-util_simulator.sh");
        QVERIFY(QFileInfo(script).isAbsolute() && QFileInfo::exists(script));
        QVERIFY(DFU::Command::path.isEmpty());
        for (const auto& [id, command] : DFU::commands) {
            QCOMPARE(command.program, script);
            QCOMPARE(command.arguments.mid(0, 1), QStringList{"--dfu-util-command"});
            QCOMPARE(command.arguments.at(2), QString("--fast-progress"));
            QCOMPARE(command.arguments.mid(3), original_.at(id).arguments);
        }
        // Both flash reads reach the script with one word; the "-s" value tells them apart.
        QCOMPARE(DFU::commands[DFU::upload_FW_info].arguments.at(1), QString("upload_FW"));
        QCOMPARE(DFU::commands[DFU::upload_FW].arguments.at(1), QString("upload_FW"));
        QVERIFY(DFU::commands[DFU::upload_FW_info].arguments.contains("0x08000000:2048"));

        // Without fast progress, and the rendering of one entry.
        const auto fast = DFU::commands;
        DFU::commands = original_;
        QCOMPARE(QString(DFU::commands[DFU::version]), QString("dfu-util(-V)"));
        simulator::setup_for_simulated_dfu_util(simulator::normal);
        QCOMPARE(QString(DFU::commands[DFU::version]), script + "(--dfu-util-command,version,-V)");
        QCOMPARE(DFU::commands[DFU::list].arguments,
                 QStringList({"--dfu-util-command", "list", "-d", "0483", "-l"}));
        DFU::commands = fast;
    }

    void versionMatchesTheExpectedBanner() { QVERIFY(DFU::dfu_util::execution_test()); }

    void unknownConfigurationIsReported() {
        LogCapture log;
        QVERIFY(simulator::sim_setup_prepared_config("no_such_scenario") != 0);
        QVERIFY(log.contains("info: Failed to setup simulation config  \"no_such_scenario\" with code"));
    }

    void scenarios_data() {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("scanCode");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<int>("verified"); // -1: not tried
        QTest::newRow("outdated") << "outdated" << 0 << true << 4 << "2.3.1" << 0;
        QTest::newRow("current") << "current" << 0 << true << 4 << "2.4.0" << 1;
        QTest::newRow("corrupt") << "corrupt" << 0 << true << 4 << "2.4.0" << 0;
        QTest::newRow("blank_otp") << "blank_otp" << 0 << true << 0 << "" << -1;
        QTest::newRow("other_product") << "other_product" << 0 << true << 43 << "1.2.0" << -1;
        QTest::newRow("unknown_type") << "unknown_type" << 0 << true << 0 << "" << -1;
        QTest::newRow("no_unit") << "no_unit" << 1 << false << 0 << "" << -1;
        QTest::newRow("two_units") << "two_units" << 1 << false << 0 << "" << -1;
        QTest::newRow("unreadable") << "unreadable" << 0 << false << 0 << "" << -1;
        QTest::newRow("bad_listing") << "bad_listing" << 1 << false << 0 << "" << -1;
    }
    void scenarios() {
        QFETCH(QString, scenario);
        QFETCH(int, scanCode);
        QFETCH(bool, valid);
        QFETCH(int, type);
        QFETCH(QString, revision);
        QFETCH(int, verified);
        setup(scenario);
        QCOMPARE(DFU::make_scan().code == 0 ? 0 : 1, scanCode);
        const DFU::DeviceInfo info = read_unit();
        QCOMPARE(info.valid, valid);
        QCOMPARE(int(info.device_type), type);
        QCOMPARE(info.FW_revision, revision);
        if (verified >= 0)
            QCOMPARE(DFU::upload_and_compare_FW_bin(working("firmware.bin"), working("uploaded_FW.bin")),
                     verified == 1);
    }

    // The whole road of one unit: download, the unit leaves and comes back, read-back matches.
    void outdatedUnitIsUpgraded() {
        setup("outdated");
        QCOMPARE(read_unit().FW_revision, QString("2.3.1"));
        QCOMPARE(DFU::download_FW_to_device(working("firmware.bin")), 0);
        QVERIFY(DFU::make_scan().code != 0); // gone while it restarts
        QTRY_VERIFY_WITH_TIMEOUT(DFU::make_scan().code == 0, 15000);
        QCOMPARE(read_unit().FW_revision, QString("2.4.0"));
        QVERIFY(DFU::upload_and_compare_FW_bin(working("firmware.bin"), working("uploaded_FW.bin")));
    }

    void failingDownloadIsReported() {
        setup("download_fails");
        QVERIFY(DFU::download_FW_to_device(working("firmware.bin")) != 0);
    }

    void unitVanishingDuringVerifyFailsTheComparison() {
        setup("vanishes_during_verify");
        QCOMPARE(read_unit().FW_revision, QString("2.4.0"));
        QVERIFY(!DFU::upload_and_compare_FW_bin(working("firmware.bin"), working("uploaded_FW.bin")));
        QVERIFY(DFU::make_scan().code != 0);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
