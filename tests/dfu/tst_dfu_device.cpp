// Reading a unit's OTP area and firmware information, download, read-back and comparison, and the
// desired firmware information, through the fixture tool that plays a unit with given memories.

#include "DFU.h"
#include "Files.h"
#include "FixtureTool.h"
#include "LogCapture.h"
#include "support_misc.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace {

// The 512-byte OTP area with one entry in slot 0.
QByteArray otp_with_type(quint8 type) {
    QByteArray area(512, '\xff');
    const QByteArray entry("\x11\x47\x23\x01", 4);
    area.replace(0, 4, entry);
    area[4] = char(type);
    area.replace(8, 8, QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
    return area;
}

QByteArray read_all(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void write_all(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

QString working(const QString& name) {
    return Files::external_dir.path() + QLatin1Char('/') + name;
}

const QString tool_output = QStringLiteral("Opening DFU capable USB device...\nUpload done.\n");

} // namespace

class TestDfuDevice : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void read_device_info_data();
    void read_device_info();
    void device_info_text_form();
    void download();
    void upload_and_compare_data();
    void upload_and_compare();
    void compare_files_data();
    void compare_files();
    void desired_FW_Info_is_read_once();

private:
    QString image(const QString& name) const { return images_.filePath(name); }
    void make_image(const QString& name, const QStringList& options);

    QTemporaryDir images_;
};

void TestDfuDevice::make_image(const QString& name, const QStringList& options) {
    QProcess fwgen;
    fwgen.start(QStringLiteral(UPGRADE_FWGEN), QStringList{"--out", image(name)} + options);
    QVERIFY(fwgen.waitForFinished());
    QCOMPARE(fwgen.exitCode(), 0);
}

void TestDfuDevice::initTestCase() {
    QVERIFY(Files::external_dir.isValid());
    QVERIFY(images_.isValid());
    make_image("type4.bin", {"--type", "4", "--revision", "2.4.0", "--size", "65536"});
    make_image("type43.bin", {"--type", "43", "--revision", "7.1.0", "--size", "65536"});
    make_image("no-block.bin", {"--no-block", "--size", "65536"});
    make_image("short.bin", {"--type", "4", "--revision", "2.4.0", "--size", "32768"});
    QByteArray bytes = read_all(image("type4.bin"));
    QCOMPARE(bytes.size(), 65536);
    bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
    write_all(image("last-byte.bin"), bytes);
    write_all(image("empty.bin"), QByteArray());
}

void TestDfuDevice::read_device_info_data() {
    QTest::addColumn<QByteArray>("otp");
    QTest::addColumn<QString>("flash");
    QTest::addColumn<int>("otp_exit");
    QTest::addColumn<int>("flash_exit");
    QTest::addColumn<bool>("no_write");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("device_type");
    QTest::addColumn<QString>("FW_revision");
    QTest::addColumn<bool>("FW_valid");
    QTest::addColumn<bool>("mismatch");

    const QByteArray blank(512, '\xff');
    QTest::newRow("type 4, firmware of type 4")
        << otp_with_type(4) << "type4.bin" << 0 << 0 << false << 0 << true << 4 << "2.4.0" << true << false;
    QTest::newRow("type 4, firmware of type 43")
        << otp_with_type(4) << "type43.bin" << 0 << 0 << false << 0 << true << 4 << "" << false << true;
    QTest::newRow("type byte 35 reads as 43") << otp_with_type(35) << "type43.bin" << 0 << 0 << false << 0
                                              << true << 43 << "7.1.0" << true << false;
    // Only a service build accepts the installed firmware of a unit whose OTP area was never written.
    const bool service = have_service_build();
    QTest::newRow("blank OTP, firmware of type 4") << blank << "type4.bin" << 0 << 0 << false << 0 << true
                                                   << 0 << (service ? "2.4.0" : "") << service << !service;
    QTest::newRow("blank OTP, no firmware block")
        << blank << "no-block.bin" << 0 << 0 << false << 0 << true << 0 << "" << false << false;
    QTest::newRow("unknown type 7, firmware of type 4")
        << otp_with_type(7) << "type4.bin" << 0 << 0 << false << 0 << true << 0 << "" << false << true;
    QTest::newRow("OTP read fails") << otp_with_type(4) << "type4.bin" << 1 << 0 << false << 1 << false << 0
                                    << "" << false << false;
    QTest::newRow("firmware read fails")
        << otp_with_type(4) << "type4.bin" << 0 << 74 << false << 0 << true << 4 << "" << false << true;
    // The reads of an earlier unit are still in the working directory and must not be decoded.
    QTest::newRow("reads leave no file")
        << otp_with_type(4) << "type4.bin" << 0 << 0 << true << 0 << true << 0 << "" << false << false;
}

void TestDfuDevice::read_device_info() {
    QFETCH(QByteArray, otp);
    QFETCH(QString, flash);
    QFETCH(int, otp_exit);
    QFETCH(int, flash_exit);
    QFETCH(bool, no_write);
    QFETCH(int, code);
    QFETCH(bool, valid);
    QFETCH(int, device_type);
    QFETCH(QString, FW_revision);
    QFETCH(bool, FW_valid);
    QFETCH(bool, mismatch);

    const QString otp_file = working(Files::uploaded_OTP_fileName_bin);
    const QString info_file = working(Files::uploaded_FW_info_fileName_bin);
    write_all(otp_file, otp_with_type(4));
    write_all(info_file, read_all(image("type4.bin")).left(2048));

    FixtureTool tool;
    tool.print(tool_output.toUtf8());
    tool.otp(otp);
    tool.flash(image(flash));
    tool.set("FIXTURE_EXIT", otp_exit);
    tool.set("FIXTURE_FLASH_EXIT", flash_exit);
    if (no_write)
        tool.set("FIXTURE_NO_WRITE", 1);

    const DFU::DeviceItem item{QStringLiteral("3574364C3034")};
    DFU::DeviceInfo info;
    LogCapture log;
    const DFU::Result result = DFU::read_device_info(&item, &info);

    QCOMPARE(result.code, code);
    QCOMPARE(info.valid, valid);
    QCOMPARE(int(info.device_type), device_type);
    QCOMPARE(info.FW_revision, FW_revision);
    QCOMPARE(info.FW_info.valid, FW_valid);

    const QList<QStringList> runs = tool.runs();
    QCOMPARE(runs.size(), otp_exit == 0 ? 2 : 1);
    QCOMPARE(runs[0].last(), otp_file);
    if (runs.size() == 2)
        QCOMPARE(runs[1].last(), info_file);

    if (otp_exit != 0) {
        QCOMPARE(result.text, tool_output);
        QCOMPARE(QString(info), QStringLiteral("DeviceInfo:\nInvalid"));
        return;
    }
    QCOMPARE(info.OTP_info.blank, otp == QByteArray(512, '\xff'));
    QCOMPARE(log.count(QStringLiteral("OTP is blank.\n")), info.OTP_info.blank ? 1 : 0);
    if (info.OTP_info.blank)
        QVERIFY(log.lines().contains(QStringLiteral("info: ") + tool_output +
                                     QStringLiteral(" OTP is blank.\n")));

    if (mismatch) {
        const Device::FW_Info as_read = flash_exit == 0 ? Device::make_FW_Info(info_file) : Device::FW_Info();
        const QString explanation =
            QStringLiteral("FW assumed invalid because of product type mismatch.\nOTP contains") +
            QString(info.OTP_info.product_info) + QStringLiteral("\nwhereas FW contains\n") +
            QString(as_read);
        QCOMPARE(result.text, tool_output + explanation);
        QVERIFY(log.lines().contains(QStringLiteral("info: ") + result.text));
        if (device_type == 4)
            QVERIFY(result.text.contains(QStringLiteral("\nOTP containsProductInfo: VOSK (4)\nwhereas")));
    } else {
        QCOMPARE(result.text, tool_output);
        QVERIFY(log.lines().contains(QStringLiteral("info: ") + QString(info)));
        QVERIFY(log.lines().contains(QStringLiteral("info: ") + QString(info.FW_info)));
    }
}

void TestDfuDevice::device_info_text_form() {
    DFU::DeviceInfo info;
    QCOMPARE(QString(info), QStringLiteral("DeviceInfo:\nInvalid"));
    info.valid = true;
    info.device_type = Device::HURM;
    info.FW_revision = QStringLiteral("7.1.0");
    QCOMPARE(QString(info), QStringLiteral("DeviceInfo:\n\tDevice type:\t43\n\tFW_revision:\t7.1.0\n"));

    QString out;
    QDebug(&out) << info << QStringLiteral("after");
    QCOMPARE(out, QString(info) + QStringLiteral(" \"after\" "));
}

void TestDfuDevice::download() {
    for (const int exit : {0, 74}) {
        FixtureTool tool;
        tool.set("FIXTURE_EXIT", exit);
        QCOMPARE(DFU::download_FW_to_device(image("type4.bin")), exit);
        const QList<QStringList> runs = tool.runs();
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs[0].mid(1),
                 (QStringList{"-d", "0483", "-a", "0", "-s", "0x08000000:leave", "-D", image("type4.bin")}));
    }
}

void TestDfuDevice::upload_and_compare_data() {
    QTest::addColumn<QString>("reference");
    QTest::addColumn<QString>("flash");
    QTest::addColumn<int>("exit");
    QTest::addColumn<bool>("no_write");
    QTest::addColumn<bool>("tool_runs");
    QTest::addColumn<bool>("same");

    QTest::newRow("unit holds the image") << "type4.bin"
                                          << "type4.bin" << 0 << false << true << true;
    QTest::newRow("last byte differs") << "type4.bin"
                                       << "last-byte.bin" << 0 << false << true << false;
    QTest::newRow("unit holds less") << "type4.bin"
                                     << "short.bin" << 0 << false << true << false;
    QTest::newRow("another image") << "type4.bin"
                                   << "type43.bin" << 0 << false << true << false;
    QTest::newRow("read-back leaves no file") << "type4.bin"
                                              << "type4.bin" << 0 << true << true << false;
    QTest::newRow("read-back fails") << "type4.bin"
                                     << "type4.bin" << 74 << true << true << false;
    QTest::newRow("empty reference") << "empty.bin"
                                     << "type4.bin" << 0 << false << false << false;
    QTest::newRow("missing reference") << "missing.bin"
                                       << "type4.bin" << 0 << false << false << false;
}

void TestDfuDevice::upload_and_compare() {
    QFETCH(QString, reference);
    QFETCH(QString, flash);
    QFETCH(int, exit);
    QFETCH(bool, no_write);
    QFETCH(bool, tool_runs);
    QFETCH(bool, same);

    // A read-back of an earlier run is still there; the tool refuses to overwrite it.
    const QString target = working(Files::uploaded_FW_fileName_bin);
    write_all(target, read_all(image("type4.bin")));

    FixtureTool tool;
    tool.flash(image(flash));
    tool.set("FIXTURE_EXIT", exit);
    if (no_write)
        tool.set("FIXTURE_NO_WRITE", 1);

    QCOMPARE(DFU::upload_and_compare_FW_bin(image(reference), target), same);
    const QList<QStringList> runs = tool.runs();
    QCOMPARE(runs.size(), tool_runs ? 1 : 0);
    if (tool_runs) {
        QCOMPARE(runs[0].mid(1),
                 (QStringList{"-d", "0483", "-a", "0", "-s", "0x08000000:65536", "-U", target}));
        QCOMPARE(QFile::exists(target), exit == 0 && !no_write);
    }
}

void TestDfuDevice::compare_files_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    QTest::addColumn<int>("first_size");

    QTest::newRow("identical") << "type4.bin"
                               << "type4.bin" << true << 65536;
    QTest::newRow("last byte differs") << "type4.bin"
                                       << "last-byte.bin" << false << 65536;
    QTest::newRow("sizes differ") << "type4.bin"
                                  << "short.bin" << false << 65536;
    QTest::newRow("both empty") << "empty.bin"
                                << "empty.bin" << false << 0;
    QTest::newRow("first missing") << "missing.bin"
                                   << "missing.bin" << false << -1;
    QTest::newRow("second missing") << "type4.bin"
                                    << "missing.bin" << false << 65536;
    QTest::newRow("first is a directory") << "."
                                          << "." << false << -1;
}

void TestDfuDevice::compare_files() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);
    QFETCH(int, first_size);
    LogCapture log;
    QCOMPARE(DFU::compare_FW_bin_files(image(first), image(second)), same);
    QCOMPARE(DFU::size_of_binary_file(image(first)), first_size);
    QVERIFY(log.lines().isEmpty());
}

void TestDfuDevice::desired_FW_Info_is_read_once() {
    const QString path = working(Files::desired_FW_fileName_bin);
    QFile::remove(path);
    QVERIFY(QFile::copy(image("type4.bin"), path));

    LogCapture log;
    const Device::FW_Info& first = DFU::desired_FW_Info();
    QCOMPARE(log.lines(), QStringList{QStringLiteral("debug: Reading desired FW_Info from  \"") + path +
                                      QStringLiteral("\"")});
    QVERIFY(first.valid);
    QCOMPARE(first.revision, QStringLiteral("2.4.0"));
    QCOMPARE(first.product_info.type, Device::VOSK);

    // Later changes to the file are not seen: it is read once per run.
    QVERIFY(QFile::remove(path));
    log.clear();
    const Device::FW_Info& second = DFU::desired_FW_Info();
    QCOMPARE(&second, &first);
    QCOMPARE(second.revision, QStringLiteral("2.4.0"));
    QVERIFY(log.lines().isEmpty());
    QVERIFY(!DFU::read_FW_Info_from_desired_FW().valid);
}

QTEST_GUILESS_MAIN(TestDfuDevice)
#include "tst_dfu_device.moc"
