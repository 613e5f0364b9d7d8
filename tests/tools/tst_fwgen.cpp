// The firmware generator: the desired image's shape, and that its DfuSe form is accepted by
// dfu-util's own suffix checker and carries exactly the raw image.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

class TestFwgen : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

    static QByteArray read_all(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static int run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForFinished(30000))
            return -2;
        if (out)
            *out = p.readAll();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    void desiredImageShape() {
        const QByteArray image = read_all(UPGRADE_FIRMWARE_BIN);
        QCOMPARE(image.size(), 131072);
        // Vector table: stack pointer in RAM, reset vector inside the image with the Thumb bit.
        const quint32 sp = qFromLittleEndian<quint32>(image.constData());
        const quint32 reset = qFromLittleEndian<quint32>(image.constData() + 4);
        QCOMPARE(sp & 0xFFF00000u, 0x20000000u);
        QVERIFY(reset & 1u);
        QVERIFY(reset >= 0x08000000u && reset < 0x08000000u + 131072u);
        // The information block at 428, its end marker right after the ninth pair, and nowhere else.
        QCOMPARE(image.indexOf(QByteArray("\x12\x47\x23\x01", 4)), 428);
        QCOMPARE(image.indexOf(QByteArray("\x13\x47\x23\x01", 4)), 428 + 72 + 9 * 64);
        QCOMPARE(image.mid(432, 4), QByteArray("\x04\xff\xff\xff", 4));
        QCOMPARE(image.mid(468, 6), QByteArray("2.4.0\0", 6));
        // dfu-util strips what looks like a TI or NXP prefix: the image must not start like one.
        QVERIFY(!image.startsWith(QByteArray("\x1a\x3f", 2)) && !image.startsWith(QByteArray("\x01\x00", 2)));
    }

    void sameOptionsSameBytes() {
        const QString out = dir_.filePath("again.bin");
        QCOMPARE(run(UPGRADE_FWGEN, {"--out", out}), 0);
        QCOMPARE(read_all(out), read_all(UPGRADE_FIRMWARE_BIN));
    }

    void optionsChangeTheBlock() {
        const QString out = dir_.filePath("old.bin");
        QCOMPARE(run(UPGRADE_FWGEN, {"--out", out, "--type", "43", "--revision", "2.3.1", "--pairs", "0",
                                     "--block-offset", "1000", "--size", "4096"}),
                 0);
        const QByteArray image = read_all(out);
        QCOMPARE(image.size(), 4096);
        QCOMPARE(image.indexOf(QByteArray("\x12\x47\x23\x01", 4)), 1000);
        QCOMPARE(image.indexOf(QByteArray("\x13\x47\x23\x01", 4)), 1072);
        QCOMPARE(image.at(1004), char(43));
        QCOMPARE(image.mid(1040, 6), QByteArray("2.3.1\0", 6));
        QVERIFY(run(UPGRADE_FWGEN, {"--out", out, "--block-offset", "4000", "--size", "4096"}) != 0);
    }

    void dfuseFileIsAcceptedAndHoldsTheImage() {
        const QString bin = dir_.filePath("fw.bin");
        const QString dfu = dir_.filePath("fw.dfu");
        QCOMPARE(run(UPGRADE_FWGEN, {"--out", bin, "--dfu", dfu}), 0);
        QByteArray out;
        QCOMPARE(run("dfu-suffix", {"-c", dfu}, &out), 0);
        QVERIFY2(out.contains("Vendor ID:\t0x0483") && out.contains("Product ID:\t0xDF11") &&
                     out.contains("BCD DFU:\t0x011A"),
                 out.constData());

        const QByteArray file = read_all(dfu);
        const QByteArray image = read_all(bin);
        QVERIFY(file.startsWith("DfuSe\x01"));
        QCOMPARE(qFromLittleEndian<quint32>(file.constData() + 6), quint32(file.size() - 16));
        QCOMPARE(int(file.at(10)), 1);
        QVERIFY(file.mid(11, 6) == "Target");
        QCOMPARE(qFromLittleEndian<quint32>(file.constData() + 11 + 270), 1u); // one element
        const int element = 11 + 274;
        QCOMPARE(qFromLittleEndian<quint32>(file.constData() + element), 0x08000000u);
        QCOMPARE(qFromLittleEndian<quint32>(file.constData() + element + 4), quint32(image.size()));
        QCOMPARE(file.mid(element + 8, image.size()), image);
        QCOMPARE(file.size(), element + 8 + image.size() + 16);

        // The checker really checks: one flipped byte breaks the CRC.
        QByteArray broken = file;
        broken[element + 100] = char(broken.at(element + 100) ^ 0x01);
        QFile f(dir_.filePath("broken.dfu"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(broken);
        f.close();
        QVERIFY(run("dfu-suffix", {"-c", f.fileName()}) != 0);
    }
};

QTEST_GUILESS_MAIN(TestFwgen)
#include "tst_fwgen.moc"
