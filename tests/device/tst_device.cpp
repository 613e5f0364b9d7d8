#include "Device.h"

#include "../common/LogCapture.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sstream>
#include <vector>

using Device::Type;

namespace {

const QByteArray begin_marker("\x12\x47\x23\x01", 4);
const QByteArray end_marker("\x13\x47\x23\x01", 4);
const QByteArray otp_marker("\x11\x47\x23\x01", 4);

// 32-byte text field; longer texts are cut to 32 bytes, so that 32 bytes leave no NUL.
QByteArray field(const QByteArray& text) {
    return text.leftJustified(32, '\0', true);
}

using Pairs = QList<QPair<QByteArray, QByteArray>>;

QByteArray fw_block(int type, const QByteArray& name, const QByteArray& revision, const Pairs& pairs = {},
                    const QByteArray& reserved = QByteArray(3, '\xff')) {
    QByteArray block = begin_marker + char(type) + reserved + field(name) + field(revision);
    for (const auto& pair : pairs)
        block += field(pair.first) + field(pair.second);
    return block + end_marker;
}

// Flash-like surroundings: erased bytes around the block.
QByteArray place(int offset, const QByteArray& block, int size = 2048) {
    QByteArray data(size, '\xff');
    data.replace(offset, block.size(), block);
    return data;
}

QByteArray otp_entry(int type, const QByteArray& reserved = QByteArray(3, '\xff'),
                     const QByteArray& extra = QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8)) {
    return otp_marker + char(type) + reserved + extra;
}

QByteArray otp_area(const QList<QPair<int, QByteArray>>& entries, int size = 512) {
    QByteArray data(size, '\xff');
    for (const auto& e : entries)
        data.replace(e.first, e.second.size(), e.second);
    return data;
}

QStringList details_of(const Device::FW_Info& info) {
    QStringList out;
    for (const auto& pair : info.details)
        out << pair.first + "=" + pair.second;
    return out;
}

QString debug_text(const std::function<void(QDebug)>& write) {
    QString s;
    write(QDebug(&s));
    return s;
}

const Pairs nine_pairs = {{"build_date", "2026-11-20"},
                          {"build_host", "ci-runner-04"},
                          {"compiler", "arm-none-eabi-gcc 12.2.1"},
                          {"source_rev", "a41c9e07"},
                          {"board", "LX50-MAIN rev C"},
                          {"bootloader", "1.3"},
                          {"build_type", "release"},
                          {"flash_layout", "app@0x08000000"},
                          {"protocol", "3"}};

} // namespace

class TestDevice : public QObject {
    Q_OBJECT

private slots:
    // ---- Product types and table ----

    void productTableRowsInOrder() {
        QStringList codes;
        for (const auto& row : Device::products)
            codes << row.code;
        QCOMPARE(codes, QStringList({"invalid", "undefined", "QARV", "VOSK", "HURM", "K7W", "BRAN", "FENT",
                                     "GILM", "DRAV", "unknown"}));
        const std::vector<int> types = {0, 255, 3, 4, 43, 11, 132, 30, 36, 140, 254};
        for (size_t i = 0; i < types.size(); ++i)
            QCOMPARE(int(Device::products[i].type), types[i]);
        QCOMPARE(Device::products.find(QString("DRAV"))->product_name_full,
                 QString("Veltaro R20S & R20 series"));
        QCOMPARE(Device::products.find(Type::BRAN)->code_name, QString("Branok"));
        QCOMPARE(Device::products.find(static_cast<unsigned char>(36))->product_name, QString("M5"));
        QVERIFY(Device::products.find(QString("drav")) == Device::products.end());
        QVERIFY(Device::products.find(static_cast<unsigned char>(35)) == Device::products.end());
    }

    // Every byte: the table's codes map to themselves, everything else to unknown.
    void toTypeFromEveryByte() {
        const QList<int> codes = {0, 255, 3, 4, 43, 11, 132, 30, 36, 140, 254};
        for (int b = 0; b < 256; ++b) {
            const int expected = codes.contains(b) ? b : 254;
            QCOMPARE(int(Device::to_Type(static_cast<unsigned char>(b))), expected);
        }
    }

    void classification_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<bool>("known");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("productName");
        QTest::addColumn<QString>("productNameFull");
        QTest::newRow("invalid") << 0 << false << false << "invalid"
                                 << "N/A"
                                 << "N/A";
        QTest::newRow("undefined") << 255 << false << false << "undefined"
                                   << "?"
                                   << "?";
        QTest::newRow("unknown") << 254 << true << false << "unknown"
                                 << "unknown"
                                 << "unknown";
        QTest::newRow("QARV") << 3 << true << true << "QARV"
                              << "Lx-40"
                              << "Lx-40 Skylink";
        QTest::newRow("VOSK") << 4 << true << true << "VOSK"
                              << "Lx-50"
                              << "Veltaro Lx-50";
        QTest::newRow("HURM") << 43 << true << true << "HURM"
                              << "K7"
                              << "K7 Skylink";
        QTest::newRow("K7W") << 11 << true << true << "K7W"
                             << "K7 Workshop"
                             << "K7 Workshop";
        QTest::newRow("BRAN") << 132 << true << true << "BRAN"
                              << "M3S"
                              << "Veltaro M3 & M3S";
        QTest::newRow("FENT") << 30 << true << true << "FENT"
                              << "M30"
                              << "Veltaro M30";
        QTest::newRow("GILM") << 36 << true << true << "GILM"
                              << "M5"
                              << "Veltaro M5";
        QTest::newRow("DRAV") << 140 << true << true << "DRAV"
                              << "R20 or R20S"
                              << "Veltaro R20S & R20 series";
        // Only reachable by casting an integer; it must still print and name safely.
        QTest::newRow("impossible 5") << 5 << true << true << "impossible type"
                                      << ""
                                      << "";
    }
    void classification() {
        QFETCH(int, type);
        QFETCH(bool, valid);
        QFETCH(bool, known);
        QFETCH(QString, text);
        QFETCH(QString, productName);
        QFETCH(QString, productNameFull);
        const auto t = static_cast<Type>(type);
        QCOMPARE(Device::is_valid(t), valid);
        QCOMPARE(Device::is_known(t), known);
        QCOMPARE(Device::to_QString(t), text);
        QCOMPARE(QString::fromStdString(Device::to_string(t)), text);
        std::ostringstream os;
        os << t << '|';
        QCOMPARE(QString::fromStdString(os.str()), text + "|");
        Device::ProductInfo info;
        info.type = t;
        QCOMPARE(info.product_name(), productName);
        QCOMPARE(info.product_name_full(), productNameFull);
    }

    void toTypeFromString_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("type");
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("VOSK") << "VOSK" << 4;
        QTest::newRow("lowercase vosk") << "vosk" << 254;
        QTest::newRow("unknown") << "unknown" << 254;
        QTest::newRow("invalid") << "invalid" << 0;
        QTest::newRow("undefined") << "undefined" << 255;
        QTest::newRow("DRAV") << "DRAV" << 140;
        QTest::newRow("leading space") << " HURM" << 254;
        QTest::newRow("product name is not a code") << "Lx-50" << 254;
    }
    void toTypeFromString() {
        QFETCH(QString, code);
        QFETCH(int, type);
        QCOMPARE(int(Device::to_Type(code)), type);
    }

    void productInfoText_data() {
        QTest::addColumn<QByteArray>("word");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("text");
        QTest::newRow("known, unused reserved")
            << QByteArray("\x04\xff\xff\xff", 4) << 4 << "ProductInfo: VOSK (4)";
        QTest::newRow("unknown byte")
            << QByteArray("\x07\xff\xff\xff", 4) << 254 << "ProductInfo: unknown (254) [07 ff ff ff]";
        QTest::newRow("reserved used")
            << QByteArray("\x04\x00\xff\xff", 4) << 4 << "ProductInfo: VOSK (4) [04 00 ff ff]";
        QTest::newRow("stored 254") << QByteArray("\xfe\xff\xff\xff", 4) << 254
                                    << "ProductInfo: unknown (254) [fe ff ff ff]";
        QTest::newRow("erased") << QByteArray("\xff\xff\xff\xff", 4) << 255 << "ProductInfo: undefined (255)";
        QTest::newRow("high type, mixed reserved")
            << QByteArray("\x8c\x0a\xb0\x01", 4) << 140 << "ProductInfo: DRAV (140) [8c 0a b0 01]";
    }
    void productInfoText() {
        QFETCH(QByteArray, word);
        QFETCH(int, type);
        QFETCH(QString, text);
        Device::ProductInfoRaw raw;
        raw.type_byte = quint8(word[0]);
        raw.reserved = {{quint8(word[1]), quint8(word[2]), quint8(word[3])}};
        const Device::ProductInfo info = Device::make_ProductInfo(raw);
        QCOMPARE(int(info.type), type);
        QCOMPARE(info.raw_type, int(quint8(word[0])));
        QCOMPARE(info.reserved, raw.reserved);
        QCOMPARE(QString(info), text);
    }

    void productInfoDefaultAndEquality() {
        const Device::ProductInfo def;
        QCOMPARE(QString(def), QString("ProductInfo: invalid (0)"));
        QCOMPARE(def.raw_type, 0);
        Device::ProductInfoRaw a, b;
        a.type_byte = b.type_byte = 4;
        b.reserved = {{0x00, 0x12, 0xff}};
        QVERIFY(Device::make_ProductInfo(a) == Device::make_ProductInfo(b));
        // Different stored bytes that both decode as unknown are the same (unknown) type.
        a.type_byte = 7;
        b.type_byte = 9;
        QVERIFY(Device::make_ProductInfo(a) == Device::make_ProductInfo(b));
        b.type_byte = 4;
        QVERIFY(Device::make_ProductInfo(a) != Device::make_ProductInfo(b));
    }

    // Each record writes its text unquoted, then the stream quotes (or not) exactly as before.
    void debugStreamKeepsQuoting() {
        Device::OTP_Info otp;
        const QString q("q");
        QCOMPARE(debug_text([&](QDebug d) { d << Type::VOSK << q; }), QString("VOSK \"q\" "));
        QCOMPARE(debug_text([&](QDebug d) { d.noquote() << Type::VOSK << q; }), QString("VOSK q "));
        QCOMPARE(debug_text([&](QDebug d) { d << Device::ProductInfo() << q; }),
                 QString("ProductInfo: invalid (0) \"q\" "));
        QCOMPARE(debug_text([&](QDebug d) { d.noquote() << Device::ProductInfo() << q; }),
                 QString("ProductInfo: invalid (0) q "));
        QCOMPARE(debug_text([&](QDebug d) { d << Device::FW_Info() << q; }),
                 QString("FW info:\n\tInvalid \"q\" "));
        QCOMPARE(debug_text([&](QDebug d) { d << otp << q; }),
                 QString("OTP info:\nMarker invalid\nProduct: ProductInfo: invalid (0)\n \"q\" "));
    }

    // ---- Text fields ----

    void getString_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("pos");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isNull");
        QTest::newRow("short text") << field("2.4.0") + "xyz" << 0 << "2.4.0" << false;
        QTest::newRow("at a position") << QByteArray("abc") + field("name") << 3 << "name" << false;
        QTest::newRow("empty") << field("") << 0 << "" << false;
        QTest::newRow("31 bytes") << field(QByteArray(31, 'a')) << 0 << QString(31, 'a') << false;
        QTest::newRow("32 bytes, no NUL") << QByteArray(32, 'a') + '\0' << 0 << QString() << true;
        QTest::newRow("bytes after the NUL ignored")
            << QByteArray("ab\0cd", 5) + QByteArray(27, 'x') << 0 << "ab" << false;
        QTest::newRow("UTF-8") << field("Gr\xc3\xbc\xc3\x9f"
                                        "e")
                               << 0 << QString::fromUtf8("Grüße") << false;
        QTest::newRow("cut by the end") << QByteArray("abcde") << 0 << "abcde" << false;
        QTest::newRow("cut by the end, 31 left") << QByteArray(32, 'z') << 1 << QString(31, 'z') << false;
        QTest::newRow("position at the end") << QByteArray("abc") << 3 << "" << false;
        QTest::newRow("position beyond the end") << QByteArray("abc") << 40 << "" << false;
        QTest::newRow("negative position") << QByteArray("abc") << -1 << "" << false;
        QTest::newRow("empty data") << QByteArray() << 0 << "" << false;
    }
    void getString() {
        QFETCH(QByteArray, data);
        QFETCH(int, pos);
        QFETCH(QString, text);
        QFETCH(bool, isNull);
        const QString got = Device::get_string(data, pos);
        QCOMPARE(got, text);
        QCOMPARE(got.isNull(), isNull);
    }

    // The buffer is exactly 32 bytes on the heap, so a read of a 33rd byte shows under the sanitizer.
    void localStrlen_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("one") << QByteArray("x") << 1;
        QTest::newRow("31") << QByteArray(31, 'x') << 31;
        QTest::newRow("32 without NUL") << QByteArray(32, 'x') << -1;
    }
    void localStrlen() {
        QFETCH(QByteArray, text);
        QFETCH(int, length);
        std::vector<char> buffer(32, '\0');
        std::copy(text.begin(), text.end(), buffer.begin());
        QCOMPARE(Device::local_strlen(buffer.data()), length);
    }

    // ---- Firmware information block ----

    void fwInfo_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<QStringList>("details");
        QTest::addColumn<QStringList>("log");

        QStringList nine;
        for (const auto& p : nine_pairs)
            nine << QString(p.first) + "=" + QString(p.second);
        const QStringList none;
        const Pairs two = {{"k1", "v1"}, {"k2", "v2"}};

        QTest::newRow("nine pairs at 428")
            << place(428, fw_block(4, "Lx-50 application", "2.4.0", nine_pairs)) << true << 4
            << "Lx-50 application"
            << "2.4.0" << nine << none;
        QTest::newRow("no pairs: markers 72 apart")
            << place(100, fw_block(43, "n", "1.0")) << true << 43 << "n"
            << "1.0" << none << none;
        QTest::newRow("third key empty")
            << place(0, fw_block(4, "n", "r", two + Pairs{{"", "v3"}, {"k4", "v4"}})) << true << 4 << "n"
            << "r" << QStringList{"k1=v1", "k2=v2"} << none;
        QTest::newRow("third value empty")
            << place(0, fw_block(4, "n", "r", two + Pairs{{"k3", ""}, {"k4", "v4"}})) << true << 4 << "n"
            << "r" << QStringList{"k1=v1", "k2=v2"} << none;
        QTest::newRow("value of 32 bytes without NUL ends the details")
            << place(0, fw_block(4, "n", "r", Pairs{{"k1", "v1"}, {"k2", QByteArray(32, 'v')}, {"k3", "v3"}}))
            << true << 4 << "n"
            << "r" << QStringList{"k1=v1"} << none;
        QTest::newRow("name of 32 bytes without NUL, revision empty")
            << place(0, fw_block(4, QByteArray(32, 'N'), "", two)) << true << 4 << ""
            << "" << QStringList{"k1=v1", "k2=v2"} << none;
        QTest::newRow("31-byte texts kept whole")
            << place(0, fw_block(4, QByteArray(31, 'N'), QByteArray(31, 'R'))) << true << 4
            << QString(31, 'N') << QString(31, 'R') << none << none;
        QTest::newRow("unknown product byte") << place(0, fw_block(7, "n", "r")) << true << 254 << "n"
                                              << "r" << none << none;
        QTest::newRow("block ends at byte 1948") << place(1876, fw_block(4, "n", "r")) << true << 4 << "n"
                                                 << "r" << none << none;
        QTest::newRow("data ends right after the end marker")
            << QByteArray(10, '\0') + fw_block(4, "n", "r", two) << true << 4 << "n"
            << "r" << QStringList{"k1=v1", "k2=v2"} << none;

        QTest::newRow("markers 73 apart")
            << place(0, fw_block(4, "n", "r").insert(72, 'x')) << false << 0 << ""
            << "" << none << QStringList{"debug: index_beg =  0 index_end =  73 nr_of_pair_bytes = 1"};
        QTest::newRow("one byte short of a pair")
            << place(0, fw_block(4, "n", "r").insert(72, QByteArray(63, 'x'))) << false << 0 << ""
            << "" << none << QStringList{"debug: index_beg =  0 index_end =  135 nr_of_pair_bytes = 63"};
        QByteArray before = place(200, fw_block(4, "n", "r"));
        before.replace(100, 4, end_marker);
        QTest::newRow("end marker before the begin marker")
            << before << false << 0 << ""
            << "" << none << QStringList{"debug: index_beg =  200 index_end =  100 nr_of_pair_bytes = -172"};
        QTest::newRow("begin marker at 1949") << place(1949, fw_block(4, "n", "r"), 2100) << false << 0 << ""
                                              << "" << none << none;
        QTest::newRow("end marker at 1949") << place(1877, fw_block(4, "n", "r")) << false << 0 << ""
                                            << "" << none << none;
        QTest::newRow("missing end marker")
            << place(428, fw_block(4, "n", "r").chopped(4)) << false << 0 << ""
            << "" << none << QStringList{"debug: index_beg =  428 index_end =  -1"};
        QTest::newRow("missing begin marker")
            << place(428, fw_block(4, "n", "r").mid(4)) << false << 0 << ""
            << "" << none << QStringList{"debug: index_beg =  -1 index_end =  496"};
        QTest::newRow("block cut short by the end of the data")
            << fw_block(4, "n", "r", two).left(100) << false << 0 << ""
            << "" << none << QStringList{"debug: index_beg =  0 index_end =  -1"};
        QTest::newRow("empty data") << QByteArray() << false << 0 << ""
                                    << "" << none << QStringList{"debug: index_beg =  -1 index_end =  -1"};
        QTest::newRow("erased flash") << QByteArray(2048, '\xff') << false << 0 << ""
                                      << "" << none << QStringList{"debug: index_beg =  -1 index_end =  -1"};
    }
    void fwInfo() {
        QFETCH(QByteArray, data);
        QFETCH(bool, valid);
        QFETCH(int, type);
        QFETCH(QString, name);
        QFETCH(QString, revision);
        QFETCH(QStringList, details);
        QFETCH(QStringList, log);
        LogCapture capture;
        const Device::FW_Info info = Device::make_FW_Info(data);
        QCOMPARE(capture.lines(), log);
        QCOMPARE(info.valid, valid);
        QCOMPARE(int(info.product_info.type), type);
        QCOMPARE(info.name, name);
        QCOMPARE(info.revision, revision);
        QCOMPARE(details_of(info), details);
        if (!valid) // every failure is exactly the default
            QCOMPARE(QString(info), QString("FW info:\n\tInvalid"));
    }

    void fwInfoText() {
        const Device::FW_Info info = Device::make_FW_Info(
            place(0, fw_block(4, "app", "2.4.0",
                              Pairs{{"board", "LX50"}, {QByteArray(31, 'k'), QByteArray(31, 'v')}},
                              QByteArray("\x00\xff\xff", 3))));
        const QString pad = QString(26, ' ');
        QCOMPARE(QString(info), QString("FW info:\n"
                                        "  Type: ProductInfo: VOSK (4) [04 00 ff ff]\n"
                                        "  Name: app\n"
                                        "  Rev.: 2.4.0\n"
                                        "  Details:\n"
                                        "    board" +
                                        pad + ": LX50" + QString(27, ' ') + "\n    " + QString(31, 'k') +
                                        ": " + QString(31, 'v')));
        Device::FW_Info empty = Device::make_FW_Info(place(0, fw_block(4, "", "")));
        QCOMPARE(QString(empty),
                 QString("FW info:\n  Type: ProductInfo: VOSK (4)\n  Name: \n  Rev.: \n  Details:"));
    }

    void fwInfoFromFile() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LogCapture capture;
        const Device::FW_Info missing = Device::make_FW_Info(dir.filePath("none.bin"));
        QVERIFY(!missing.valid);
        QVERIFY(capture.lines().isEmpty());

        QFile file(dir.filePath("fw.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(place(428, fw_block(43, "K7", "3.1.0", nine_pairs)));
        file.close();
        const Device::FW_Info info = Device::make_FW_Info(dir.filePath("fw.bin"));
        QVERIFY(info.valid);
        QCOMPARE(int(info.product_info.type), 43);
        QCOMPARE(info.revision, QString("3.1.0"));
        QCOMPARE(int(info.details.size()), 9);
    }

    // Images made by the firmware generator, read from files as the program reads them.
    void generatedImages_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<int>("details");
        QTest::addColumn<QString>("productText");
        QTest::newRow("defaults") << QStringList() << true << 4 << "2.4.0" << 9 << "ProductInfo: VOSK (4)";
        QTest::newRow("other product, no pairs")
            << QStringList{"--type", "140", "--revision", "1.0.0-rc1", "--pairs", "0"} << true << 140
            << "1.0.0-rc1" << 0 << "ProductInfo: DRAV (140)";
        QTest::newRow("unknown type, reserved used")
            << QStringList{"--type", "7", "--reserved", "0102ff"} << true << 254 << "2.4.0" << 9
            << "ProductInfo: unknown (254) [07 01 02 ff]";
        QTest::newRow("twelve pairs in a small image")
            << QStringList{"--pairs", "12", "--size", "2048", "--block-offset", "1000"} << true << 4
            << "2.4.0" << 12 << "ProductInfo: VOSK (4)";
        QTest::newRow("block too late") << QStringList{"--pairs", "0", "--block-offset", "1880"} << false << 0
                                        << "" << 0 << "ProductInfo: invalid (0)";
        QTest::newRow("no end marker")
            << QStringList{"--no-end-marker"} << false << 0 << "" << 0 << "ProductInfo: invalid (0)";
    }
    void generatedImages() {
        QFETCH(QStringList, args);
        QFETCH(bool, valid);
        QFETCH(int, type);
        QFETCH(QString, revision);
        QFETCH(int, details);
        QFETCH(QString, productText);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("image.bin");
        QCOMPARE(QProcess::execute(UPGRADE_FWGEN, QStringList{"--out", path} + args), 0);
        const Device::FW_Info info = Device::make_FW_Info(path);
        QCOMPARE(info.valid, valid);
        QCOMPARE(int(info.product_info.type), type);
        QCOMPARE(info.revision, revision);
        QCOMPARE(int(info.details.size()), details);
        QCOMPARE(QString(info.product_info), productText);
    }

    // The image the program carries, whole and as the 2048 bytes read back from a unit.
    void embeddedFirmware() {
        QFile file(":resources/firmware.bin");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray image = file.readAll();
        for (const QByteArray& data : {image, image.left(2048)}) {
            const Device::FW_Info info = Device::make_FW_Info(data);
            QVERIFY(info.valid);
            QCOMPARE(info.product_info.type, Type::VOSK);
            QCOMPARE(info.revision, QString("2.4.0"));
            QCOMPARE(int(info.details.size()), 9);
            QCOMPARE(info.details.front().first, QString("build_date"));
        }
        QCOMPARE(image.indexOf(begin_marker), 428);
        QCOMPARE(Device::make_FW_Info(QString(":resources/firmware.bin")).revision, QString("2.4.0"));
    }

    // ---- OTP entry ----

    void otpInfo_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("blank");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("rawType");
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("productName");

        const QByteArray zero(8, '\0');
        const QByteArray extra("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
        const QStringList none;
        const QString invalid0("OTP info:\nMarker invalid\nProduct: ProductInfo: invalid (0)\n");
        const QStringList unused{"info: Device not used, has invalid info in its OTP info."};

        QTest::newRow("blank area") << QByteArray(512, '\xff') << true << false << 0 << 0 << zero << none
                                    << invalid0 << "N/A";
        QTest::newRow("empty area") << QByteArray() << true << false << 0 << 0 << zero << none << invalid0
                                    << "N/A";
        QByteArray one_byte(512, '\xff');
        one_byte[300] = 0;
        QTest::newRow("written, no marker")
            << one_byte << false << false << 0 << 0 << zero << none << invalid0 << "N/A";
        QTest::newRow("entry in slot 0")
            << otp_area({{0, otp_entry(4)}}) << false << true << 4 << 4 << extra << none
            << "OTP info:\nMarker valid\nProduct: ProductInfo: VOSK (4)\n"
            << "Lx-50";
        QTest::newRow("slots 0 and 1: the last counts")
            << otp_area({{0, otp_entry(4)}, {16, otp_entry(132, QByteArray(3, '\xff'), zero)}}) << false
            << true << 132 << 132 << zero << none
            << "OTP info:\nMarker valid\nProduct: ProductInfo: BRAN (132)\n"
            << "M3S";
        QTest::newRow("slot 31") << otp_area({{496, otp_entry(36)}}) << false << true << 36 << 36 << extra
                                 << none << "OTP info:\nMarker valid\nProduct: ProductInfo: GILM (36)\n"
                                 << "M5";
        QByteArray misplaced = otp_area({{0, otp_entry(4)}});
        misplaced.replace(8, 4, otp_marker);
        QTest::newRow("last marker at byte 8")
            << misplaced << false << false << 0 << 0 << zero << none << invalid0 << "N/A";
        QTest::newRow("marker beyond slot 31")
            << otp_area({{0, otp_entry(4)}, {512, otp_entry(4)}}, 1024) << false << false << 0 << 0 << zero
            << none << invalid0 << "N/A";
        QTest::newRow("stored 35 reads as 43")
            << otp_area({{32, otp_entry(35)}}) << false << true << 43 << 43 << extra << none
            << "OTP info:\nMarker valid\nProduct: ProductInfo: HURM (43)\n"
            << "K7";
        QTest::newRow("type 0xFF") << otp_area({{0, otp_entry(0xff)}}) << false << false << 255 << 255
                                   << extra << unused
                                   << "OTP info:\nMarker invalid\nProduct: ProductInfo: undefined (255)\n"
                                   << "?";
        QTest::newRow("type 0") << otp_area({{0, otp_entry(0)}}) << false << false << 0 << 0 << extra
                                << unused << invalid0 << "N/A";
        QTest::newRow("unknown type 7")
            << otp_area({{0, otp_entry(7)}}) << false << false << 0 << 7 << extra
            << QStringList{"info: Unknown device type according to OTP info,  ProductInfo: unknown (254) [07 "
                           "ff ff ff]"}
            << invalid0 << "N/A";
        QTest::newRow("known type, reserved bytes shown")
            << otp_area({{0, otp_entry(11, QByteArray("\x00\x12\xff", 3))}}) << false << true << 11 << 11
            << extra << none << "OTP info:\nMarker valid\nProduct: ProductInfo: K7W (11) [0b 00 12 ff]\n"
            << "K7 Workshop";
        QTest::newRow("area of exactly one entry")
            << otp_entry(140) << false << true << 140 << 140 << extra << none
            << "OTP info:\nMarker valid\nProduct: ProductInfo: DRAV (140)\n"
            << "R20 or R20S";
        // An entry cut short by the end of the data counts as no entry, whatever precedes it.
        QTest::newRow("last entry cut short")
            << otp_area({{0, otp_entry(4)}, {496, otp_entry(4)}}).left(500) << false << false << 0 << 0
            << zero << none << invalid0 << "N/A";
        QTest::newRow("marker only") << otp_marker << false << false << 0 << 0 << zero << none << invalid0
                                     << "N/A";
        QTest::newRow("entry without its last byte")
            << otp_entry(4).chopped(1) << false << false << 0 << 0 << zero << none << invalid0 << "N/A";
    }
    void otpInfo() {
        QFETCH(QByteArray, data);
        QFETCH(bool, blank);
        QFETCH(bool, valid);
        QFETCH(int, type);
        QFETCH(int, rawType);
        QFETCH(QByteArray, extra);
        QFETCH(QStringList, log);
        QFETCH(QString, text);
        QFETCH(QString, productName);
        LogCapture capture;
        const Device::OTP_Info info = Device::make_OTP_Info(data);
        QCOMPARE(capture.lines(), log);
        QCOMPARE(info.blank, blank);
        QCOMPARE(info.valid, valid);
        QCOMPARE(int(info.product_info.type), type);
        QCOMPARE(info.product_info.raw_type, rawType);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(info.extra.data()), 8), extra);
        QCOMPARE(QString(info), text);
        QCOMPARE(info.product_name(), productName);
    }

    void otpInfoFromFile() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        LogCapture capture;
        const Device::OTP_Info missing = Device::make_OTP_Info(dir.filePath("none.bin"));
        QVERIFY(!missing.valid);
        QVERIFY(!missing.blank);
        QVERIFY(capture.lines().isEmpty());

        QFile file(dir.filePath("otp.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(otp_area({{64, otp_entry(30)}}));
        file.close();
        const Device::OTP_Info info = Device::make_OTP_Info(dir.filePath("otp.bin"));
        QVERIFY(info.valid);
        QCOMPARE(info.product_info.type, Type::FENT);
        QCOMPARE(info.product_name(), QString("M30"));
    }
};

QTEST_GUILESS_MAIN(TestDevice)
#include "tst_device.moc"
