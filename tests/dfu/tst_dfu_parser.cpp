// The listing parser and the scan verdict, against listings as dfu-util 0.9 and 0.11 print them.

#include "DFU.h"
#include "LogCapture.h"

#include <QtTest>

namespace {

const QString banner_09 =
    QStringLiteral("dfu-util 0.9\n\n"
                   "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                   "Copyright 2010-2016 Tormod Volden and Stefan Schmidt\n"
                   "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                   "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n");
const QString banner_011 =
    QStringLiteral("dfu-util 0.11\n\n"
                   "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                   "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
                   "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                   "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n");
const QString deducing = QStringLiteral("Deducing device DFU version from functional descriptor length\n");

const char* const alt_names[] = {
    "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", "@Option Bytes  /0x1FFFC000/01*016 e",
    "@OTP Memory /0x1FFF7800/01*512 e,01*016 e", "@Device Feature/0xFFFF0000/01*004 e"};

// One listing line of an STM32 bootloader; alt 3 is listed first.
QString unit_line(const QString& serial, int alt, int devnum = 7,
                  const QString& path = QStringLiteral("1-1.4"),
                  const QString& ver = QStringLiteral("2200")) {
    return QStringLiteral("Found DFU: [0483:df11] ver=%1, devnum=%2, cfg=1, intf=0, path=\"%3\", alt=%4, "
                          "name=\"%5\", serial=\"%6\"\n")
        .arg(ver)
        .arg(devnum)
        .arg(path)
        .arg(alt)
        .arg(QLatin1String(alt_names[alt]), serial);
}

QString unit(const QString& serial, int devnum = 7, const QString& path = QStringLiteral("1-1.4")) {
    QString out;
    for (int alt = 3; alt >= 0; --alt)
        out += unit_line(serial, alt, devnum, path);
    return out;
}

QString repeat(const QString& serial, int lines) {
    QString out;
    for (int i = 0; i < lines; ++i)
        out += unit_line(serial, 3 - i % 4);
    return out;
}

const QString A = QStringLiteral("3574364C3034");
const QString B = QStringLiteral("206A36883136");

} // namespace

class TestDfuParser : public QObject {
    Q_OBJECT

private slots:
    void listings_data();
    void listings();
    void line_without_serial_is_logged();
    void status_names();
    void patterns();
    void parse_two_unit_listing();
};

void TestDfuParser::listings_data() {
    QTest::addColumn<QString>("listing");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("serials");
    QTest::addColumn<int>("nr_of_devices");

    const int none = DfuUtilParser::no_dfu_device;
    const int one = DfuUtilParser::one_dfu_device;
    const int invalid = DfuUtilParser::invalid_dfu_device;
    const int multiple = DfuUtilParser::multiple_dfu_devices;

    QTest::newRow("empty") << QString() << none << QStringList{} << 0;
    QTest::newRow("0.9 banner only") << banner_09 << none << QStringList{} << 0;
    QTest::newRow("0.11 banner only") << banner_011 << none << QStringList{} << 0;
    QTest::newRow("0.9 one unit") << banner_09 + deducing + unit(A) << one << QStringList{A} << 1;
    QTest::newRow("0.11 one unit") << banner_011 + unit(A, 12, "3-2") << one << QStringList{A} << 1;
    QTest::newRow("0.11 one unit, lower-case serial") << banner_011 + unit(QStringLiteral("0039002b3137510c"))
                                                      << one << QStringList{"0039002b3137510c"} << 1;
    QString crlf = banner_09 + unit(A);
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QTest::newRow("CRLF line ends") << crlf << one << QStringList{A} << 1;
    QTest::newRow("no final line end") << banner_011 + unit(A).chopped(1) << one << QStringList{A} << 1;
    QTest::newRow("two units") << banner_011 + unit(A, 7, "1-1.4") + unit(B, 9, "1-1.3") << multiple
                               << QStringList{A, B} << 2;
    QTest::newRow("two units interleaved")
        << banner_011 + unit_line(A, 3) + unit_line(B, 3) + unit_line(A, 2) + unit_line(B, 2) << multiple
        << QStringList{A, B, A, B} << 4;
    QTest::newRow("serials A, B, A") << unit_line(A, 3) + unit_line(B, 2) + unit_line(A, 1) << multiple
                                     << QStringList{A, B, A} << 3;
    QTest::newRow("ab12 and AB12 differ")
        << unit_line("ab12", 3) + unit_line("AB12", 2) << multiple << QStringList{"ab12", "AB12"} << 2;
    QTest::newRow("three lines") << repeat(A, 3) << invalid << QStringList{A} << 1;
    QTest::newRow("five lines") << repeat(A, 5) << invalid << QStringList{A} << 1;
    QTest::newRow("eight lines of one serial") << repeat(A, 8) << invalid << QStringList{A} << 1;

    // Devices that are not a unit in DFU mode.
    const QString other_vendor =
        QStringLiteral("Found DFU: [1d50:6017] ver=0100, devnum=4, cfg=1, intf=0, path=\"1-2\", alt=0, "
                       "name=\"Black Magic DFU\", serial=\"7ABA4D9A\"\n");
    const QString runtime = QStringLiteral("Found Runtime: [0483:df11] ver=2200, devnum=8, cfg=1, intf=0, "
                                           "path=\"1-1.2\", alt=0, name=\"UNKNOWN\", serial=\"5A8C1234\"\n");
    QTest::newRow("other vendor only") << banner_011 + other_vendor << none << QStringList{} << 0;
    QTest::newRow("other vendor and a unit")
        << banner_011 + other_vendor + unit(A) + runtime << one << QStringList{A} << 1;
    QString ver_0200 = unit(B);
    ver_0200.replace(QStringLiteral("ver=2200"), QStringLiteral("ver=0200"));
    QTest::newRow("ver=0200 ignored") << banner_011 + ver_0200 << none << QStringList{} << 0;
    QString indented = unit(A);
    indented.replace(QStringLiteral("Found DFU"), QStringLiteral(" Found DFU"));
    QTest::newRow("prefix not at line start") << indented << none << QStringList{} << 0;
    QString lower = unit(A);
    lower.replace(QStringLiteral("0483:df11"), QStringLiteral("0483:DF11"));
    QTest::newRow("product in capitals ignored") << lower << none << QStringList{} << 0;

    // Warnings printed when a device cannot be opened.
    const QString access =
        QStringLiteral("Cannot open DFU device 0483:df11 found on devnum 5 (LIBUSB_ERROR_ACCESS)\n");
    QTest::newRow("cannot open the only unit") << banner_011 + access << none << QStringList{} << 0;
    QTest::newRow("cannot open one of two units")
        << banner_011 + access + unit(A) << one << QStringList{A} << 1;

    // A unit whose serial cannot be read stops the parse.
    QString no_serial = unit_line(A, 1);
    no_serial.replace(QStringLiteral("serial=\"") + A + QLatin1Char('"'),
                      QStringLiteral("serial=\"UNKNOWN\""));
    QTest::newRow("two lines, then no serial")
        << repeat(A, 2) + no_serial + unit_line(A, 0) << none << QStringList{A} << 0;
    QTest::newRow("serial not hexadecimal") << banner_011 + no_serial << none << QStringList{} << 0;
    QTest::newRow("empty serial") << unit_line(QString(), 3) << none << QStringList{} << 0;
}

void TestDfuParser::listings() {
    QFETCH(QString, listing);
    QFETCH(int, status);
    QFETCH(QStringList, serials);
    QFETCH(int, nr_of_devices);

    const DfuUtilParser parser(listing);
    QCOMPARE(int(parser.status), status);
    QCOMPARE(QStringList(parser.serials.begin(), parser.serials.end()), serials);
    QCOMPARE(parser.nr_of_devices, nr_of_devices);

    LogCapture log;
    const DFU::ScanResult scan = DFU::scan_for_devices(listing);
    QCOMPARE(scan.code, status == DfuUtilParser::one_dfu_device ? 0 : 1);
    QStringList scanned;
    for (const DFU::DeviceItem& item : scan.devices)
        scanned << item.serial;
    QCOMPARE(scanned, serials);
    // Only a line without a readable serial is logged; the normal poll is silent.
    QCOMPARE(log.lines().size(), listing.contains(QStringLiteral("serial=\"UNKNOWN\"")) ||
                                         listing.contains(QStringLiteral("serial=\"\""))
                                     ? 1
                                     : 0);
}

void TestDfuParser::line_without_serial_is_logged() {
    const QString line = QStringLiteral("Found DFU: [0483:df11] ver=2200, devnum=7, cfg=1, intf=0, alt=0, "
                                        "name=\"@Internal Flash  /0x08000000/04*016Kg\", serial=\"UNKNOWN\"");
    LogCapture log;
    const DfuUtilParser parser(repeat(A, 2) + line + QStringLiteral("\r\n"));
    QCOMPARE(parser.status, DfuUtilParser::no_dfu_device);
    QString escaped = line;
    escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    QCOMPARE(log.lines(), QStringList{QStringLiteral("debug: \"") + escaped + QStringLiteral("\\r\"")});
}

void TestDfuParser::status_names() {
    const QStringList expected{"no_dfu_device", "one_dfu_device", "invalid_dfu_device",
                               "multiple_dfu_devices"};
    for (int s = 0; s < 4; ++s) {
        DfuUtilParser parser{QString()};
        parser.status = DfuUtilParser::Status(s);
        QCOMPARE(parser.status_as_string(), expected[s]);
    }
}

void TestDfuParser::patterns() {
    QCOMPARE(DfuUtilParser::prefix_RE.size(), 34);
    QCOMPARE(DfuUtilParser::extract_serial_RE.size(), 25);
}

// Figures for the note: the listing is parsed on every poll, every 500 ms.
void TestDfuParser::parse_two_unit_listing() {
    const QString listing = banner_011 + unit(A, 7, "1-1.4") + unit(B, 9, "1-1.3");
    int status = 0;
    QBENCHMARK {
        const DfuUtilParser parser(listing);
        status = parser.status;
    }
    QCOMPARE(status, int(DfuUtilParser::multiple_dfu_devices));
}

QTEST_GUILESS_MAIN(TestDfuParser)
#include "tst_dfu_parser.moc"
