// The program's DFU module with its own embedded dfu-util, unpacked as start-up unpacks it, talking to
// emulated units through the stand-in libusb: the listing, the reads, download and read-back, and the
// files the tool refuses to overwrite.

#include "DFU.h"
#include "Files.h"
#include "support_misc.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(Device::Type)

namespace {

const QString serial = QStringLiteral("3574364C3034");
const QString second_serial = QStringLiteral("3574364C3035");

QString working_file(const QString& name) {
    return Files::external_dir.path() + QLatin1Char('/') + name;
}

QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write_all(const QString& path, const QByteArray& bytes,
               QIODevice::OpenMode mode = QIODevice::WriteOnly) {
    QFile file(path);
    return file.open(mode) && file.write(bytes) == bytes.size();
}

} // namespace

class TestDfuEmulated : public QObject {
    Q_OBJECT
    QTemporaryDir units_;

    QString unit_file(const QString& name, const QString& unit = serial) const {
        return units_.path() + QStringLiteral("/units/") + unit + QLatin1Char('/') + name;
    }

    // Lays out a prepared configuration of the simulator, plus knobs for its first unit.
    bool prepare(const QString& scenario, const QStringList& knobs = {}) {
        QProcess setup;
        setup.start(
            QStringLiteral(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh"),
            {QStringLiteral("--dfu-util-command"), QStringLiteral("setup_prepared_config"), scenario});
        if (!setup.waitForFinished(30000) || setup.exitCode() != 0)
            return false;
        return knobs.isEmpty() || write_all(unit_file(QStringLiteral("knobs")),
                                            (knobs.join('\n') + '\n').toUtf8(), QIODevice::Append);
    }

private slots:
    void initTestCase();
    void scan_data();
    void scan();
    void device_info_data();
    void device_info();
    void stale_read_targets_are_removed_first();
    void download_then_verify_data();
    void download_then_verify();
    void verify_failures_data();
    void verify_failures();
};

// As start-up does it: unpack tool, library and image, make the tool executable, run it from there.
// The stand-in library comes first in LD_LIBRARY_PATH, which the tool's children inherit.
void TestDfuEmulated::initTestCase() {
    QVERIFY(units_.isValid());
    QVERIFY(Files::extract_resources(
        {Files::dfu_util_executable, Files::libusb_library, Files::desired_FW_bin}, true));
    QVERIFY(support_misc::mark_file_executable(DFU::dfu_util::full_path()));
    DFU::Command::path = Files::external_dir.path();
    qputenv("LD_LIBRARY_PATH", EMULATED_UNIT_LIBRARY_DIR);
    qputenv("VELTARO_UNITS_DIR", units_.path().toLocal8Bit());
    qputenv("VELTARO_SIM_FIRMWARE", UPGRADE_FIRMWARE_BIN);
    qunsetenv("VELTARO_UNIT_TIMING");

    // The unpacked tool starts and loads a libusb; the banner check judges its exact release.
    const DFU::Result version = DFU::run_command(DFU::version);
    QCOMPARE(version.code, 0);
    QVERIFY2(version.text.startsWith("dfu-util 0."), qPrintable(version.text));
    QCOMPARE(DFU::dfu_util::execution_test(),
             version.text == DFU::dfu_util::expected_output_of_execution_test);
    QVERIFY(DFU::desired_FW_Info().valid);
}

void TestDfuEmulated::scan_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("serials");
    QTest::newRow("one unit") << "outdated" << 0 << QStringList{serial};
    QTest::newRow("two units") << "two_units" << 1 << QStringList{serial, second_serial};
    QTest::newRow("no unit") << "no_unit" << 1 << QStringList{};
    QTest::newRow("five listing lines") << "bad_listing" << 1 << QStringList{serial};
}

void TestDfuEmulated::scan() {
    QFETCH(QString, scenario);
    QFETCH(int, code);
    QFETCH(QStringList, serials);
    QVERIFY(prepare(scenario));
    const DFU::ScanResult result = DFU::make_scan();
    QCOMPARE(result.code, code);
    QStringList found;
    for (const DFU::DeviceItem& item : result.devices)
        found << item.serial;
    QCOMPARE(found, serials);
}

void TestDfuEmulated::device_info_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("code");
    QTest::addColumn<Device::Type>("type");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<bool>("fw_valid"); // the information block was accepted for this unit
    QTest::addColumn<QString>("revision");
    QTest::newRow("outdated") << "outdated" << 0 << Device::VOSK << false << true << "2.3.1";
    QTest::newRow("other product") << "other_product" << 0 << Device::HURM << false << true << "1.2.0";
    QTest::newRow("blank OTP") << "blank_otp" << 0 << Device::invalid << true << false << "";
    QTest::newRow("unknown type") << "unknown_type" << 0 << Device::invalid << false << false << "";
    QTest::newRow("OTP read stalls") << "unreadable" << 74 << Device::invalid << false << false << "";
}

void TestDfuEmulated::device_info() {
    QFETCH(QString, scenario);
    QFETCH(int, code);
    QFETCH(Device::Type, type);
    QFETCH(bool, blank);
    QFETCH(bool, fw_valid);
    QFETCH(QString, revision);
    QVERIFY(prepare(scenario));

    const DFU::DeviceItem item{serial};
    DFU::DeviceInfo info;
    const DFU::Result result = DFU::read_device_info(&item, &info);
    QCOMPARE(result.code, code);
    QCOMPARE(info.valid, code == 0);
    if (code != 0)
        return;
    // The files the tool wrote hold exactly the unit's bytes.
    QCOMPARE(read_all(working_file(Files::uploaded_OTP_fileName_bin)), read_all(unit_file("otp.bin")));
    QCOMPARE(read_all(working_file(Files::uploaded_FW_info_fileName_bin)),
             read_all(unit_file("flash.bin")).left(2048));
    QCOMPARE(int(info.device_type), int(type));
    QCOMPARE(info.OTP_info.blank, blank);
    QCOMPARE(info.FW_info.valid, fw_valid);
    QCOMPARE(info.FW_revision, revision);
    // Another product's unit reads fine but is never the desired firmware's type.
    if (scenario == "other_product")
        QVERIFY(info.FW_info.product_info != DFU::desired_FW_Info().product_info);
}

// dfu-util refuses an existing -U target (exit 73, nothing read), so a file left from an earlier unit
// would otherwise be decoded as this unit's.
void TestDfuEmulated::stale_read_targets_are_removed_first() {
    QVERIFY(prepare("outdated"));
    const QString info_path = working_file(Files::uploaded_FW_info_fileName_bin);
    const QString otp_path = working_file(Files::uploaded_OTP_fileName_bin);
    const QByteArray stale = read_all(UPGRADE_FIRMWARE_BIN).left(2048); // the desired revision's block
    QVERIFY(write_all(info_path, stale));
    QCOMPARE(DFU::run_command(DFU::upload_FW_info, {info_path}).code, 73);
    QCOMPARE(read_all(info_path), stale);

    const Device::FW_Info fw = DFU::read_FW_Info(nullptr);
    QVERIFY(fw.valid);
    QCOMPARE(fw.revision, QString("2.3.1"));

    QVERIFY(write_all(otp_path, QByteArray(512, '\xff')));
    QVERIFY(write_all(info_path, stale));
    const DFU::DeviceItem item{serial};
    DFU::DeviceInfo info;
    QCOMPARE(DFU::read_device_info(&item, &info).code, 0);
    QVERIFY(!info.OTP_info.blank);
    QCOMPARE(info.FW_revision, QString("2.3.1"));
}

void TestDfuEmulated::download_then_verify_data() {
    QTest::addColumn<QString>("knob");
    QTest::addColumn<int>("download_code");
    QTest::addColumn<bool>("returns"); // the unit left DFU mode and came back with the new flash
    QTest::newRow("leave answered") << "" << 0 << true;
    // Written, but dfu-util reports "Error during download get_status".
    QTest::newRow("no status after leave") << "no_status_after_leave=1" << 74 << true;
    QTest::newRow("download fails") << "download_fails=1" << 74 << false;
    QTest::newRow("erase fails") << "erase_fails=1" << 74 << false;
}

void TestDfuEmulated::download_then_verify() {
    QFETCH(QString, knob);
    QFETCH(int, download_code);
    QFETCH(bool, returns);
    QStringList knobs{QStringLiteral("reappear_ms=300")};
    if (!knob.isEmpty())
        knobs << knob;
    QVERIFY(prepare("outdated", knobs));

    const QString image = working_file(Files::desired_FW_fileName_bin);
    const QString read_back = working_file(Files::uploaded_FW_fileName_bin);
    QCOMPARE(DFU::download_FW_to_device(image), download_code);
    QCOMPARE(QFile::exists(unit_file("absent_until")), returns);
    QTRY_COMPARE_WITH_TIMEOUT(DFU::make_scan().code, 0, 15000);

    if (returns)
        QCOMPARE(DFU::read_FW_Info(nullptr).revision, DFU::desired_FW_Info().revision);
    QCOMPARE(DFU::upload_and_compare_FW_bin(image, read_back), returns);
}

void TestDfuEmulated::verify_failures_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("knob");
    QTest::addColumn<bool>("equal");
    QTest::newRow("current") << "current"
                             << "" << true;
    QTest::newRow("corrupt") << "corrupt"
                             << "" << false;
    QTest::newRow("read stalls") << "current"
                                 << "upload_stall=1" << false;
    QTest::newRow("vanishes while read") << "vanishes_during_verify"
                                         << "" << false;
}

// A read-back target left over with the very bytes of the image must not pass for the unit's flash.
void TestDfuEmulated::verify_failures() {
    QFETCH(QString, scenario);
    QFETCH(QString, knob);
    QFETCH(bool, equal);
    QVERIFY(prepare(scenario, knob.isEmpty() ? QStringList{} : QStringList{knob}));
    const QString image = working_file(Files::desired_FW_fileName_bin);
    const QString read_back = working_file(Files::uploaded_FW_fileName_bin);
    QFile::remove(read_back);
    QVERIFY(QFile::copy(image, read_back));
    QCOMPARE(DFU::upload_and_compare_FW_bin(image, read_back), equal);
}

QTEST_GUILESS_MAIN(TestDfuEmulated)

#include "tst_dfu_emulated.moc"
