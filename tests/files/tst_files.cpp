#include "Files.h"
#include "support_misc.h"

#include "../common/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

class TestFiles : public QObject {
    Q_OBJECT

    static QString working(const QString& name) { return Files::external_dir.path() + "/" + name; }
    static QByteArray read_all(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void directoryIsPrivateAndNamed() {
        const QFileInfo info(Files::external_dir.path());
        QVERIFY(info.fileName().startsWith("upgrade_"));
        QCOMPARE(info.fileName().size(), 14);
        QCOMPARE(info.absolutePath(), QFileInfo(QDir::tempPath()).absoluteFilePath());
        QCOMPARE(Files::basename.size(), size_t(7));
        QCOMPARE(Files::basename.at(Files::libusb_library), QString("libusb-1.0.so.0"));
    }

    void emptyListSucceedsSilently() {
        LogCapture log;
        QVERIFY(Files::extract_resources({}, true));
        QVERIFY(log.lines().isEmpty());
    }

    // The order of the program's start-up; every file must arrive byte for byte.
    void extractsFourResourcesByteForByte() {
        LogCapture log;
        QVERIFY(Files::extract_resources(
            {Files::desired_FW_dfu, Files::desired_FW_bin, Files::dfu_util_executable, Files::libusb_library},
            true));
        for (const char* name : {"firmware.dfu", "firmware.bin", "dfu-util", "libusb-1.0.so.0"}) {
            const QByteArray copy = read_all(working(name));
            QVERIFY2(!copy.isEmpty(), name);
            QCOMPARE(copy, read_all(QString(":resources/") + name));
        }
        QCOMPARE(read_all(working("firmware.bin")), read_all(UPGRADE_FIRMWARE_BIN));
        QCOMPARE(log.lines(), QStringList({"debug: Extracted  \"firmware.dfu\"", "debug: Extracted  \"firmware.bin\"",
                                           "debug: Extracted  \"dfu-util\"", "debug: Extracted  \"libusb-1.0.so.0\""}));
    }

    // Depends on extractsFourResourcesByteForByte.
    void secondExtractionFailsAndKeepsFirstCopy() {
        const QString path = working("firmware.bin");
        QFile f(path);
        QVERIFY(f.setPermissions(f.permissions() | QFileDevice::WriteOwner));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("first copy");
        f.close();

        LogCapture log;
        QVERIFY(!Files::extract_resources({Files::desired_FW_bin}, true));
        QCOMPARE(read_all(path), QByteArray("first copy"));
        QCOMPARE(log.lines(), QStringList{"info: Failed to extract  \"firmware.bin\""});
        // Without require_all a failure is logged but does not change the result.
        QVERIFY(Files::extract_resources({Files::desired_FW_bin}, false));
    }

    void filesWithoutResourceFail_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("name");
        QTest::newRow("4") << 4 << "uploaded_FW.bin";
        QTest::newRow("5") << 5 << "uploaded_FW_info.bin";
        QTest::newRow("6") << 6 << "uploaded_OTP.bin";
    }
    void filesWithoutResourceFail() {
        QFETCH(int, id);
        QFETCH(QString, name);
        LogCapture log;
        QVERIFY(!Files::extract_resources({Files::ID(id)}, true));
        QVERIFY(!QFileInfo::exists(working(name)));
        QCOMPARE(log.lines(), QStringList{QString("info: Failed to extract  \"%1\"").arg(name)});
    }

    // The unpacked tool runs and loads the USB library that lies beside it.
    void unpackedToolRunsWithItsOwnLibrary() {
        const QString tool = working("dfu-util");
        if (!QFileInfo::exists(tool))
            QVERIFY(Files::extract_resources({Files::dfu_util_executable, Files::libusb_library}, true));
        QVERIFY(support_misc::mark_file_executable(tool));
        QProcess version;
        version.start(tool, {"-V"});
        QVERIFY(version.waitForFinished(10000));
        QCOMPARE(version.exitCode(), 0);
        QVERIFY(version.readAllStandardOutput().startsWith("dfu-util "));

        QProcess ldd;
        ldd.start("ldd", {tool});
        QVERIFY(ldd.waitForFinished(10000));
        const QString out = QString::fromLocal8Bit(ldd.readAllStandardOutput());
        const QString expected = "libusb-1.0.so.0 => " + QFileInfo(working("libusb-1.0.so.0")).canonicalFilePath();
        QVERIFY2(out.contains(expected), qPrintable(out));
    }
};

// Run by CTest a second time with TMPDIR pointing nowhere, so the directory cannot be made.
class TestMissingDirectory : public QObject {
    Q_OBJECT
private slots:
    void extractionReportsTheDirectory() {
        QVERIFY(!Files::external_dir.isValid());
        LogCapture log;
        QVERIFY(!Files::extract_resources({Files::desired_FW_bin}, false));
        QVERIFY(!Files::extract_resources({}, false));
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(log.lines().at(0).startsWith("info: Failed to create temporary directory: \""));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!Files::external_dir.isValid()) {
        TestMissingDirectory t;
        return QTest::qExec(&t, argc, argv);
    }
    TestFiles t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_files.moc"
