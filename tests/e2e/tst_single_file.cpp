// The built program is one file: copied alone into an empty directory, it still unpacks the tool, its
// library and both firmware images, and the unpacked tool runs.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

class TestSingleFile : public QObject {
    Q_OBJECT
private slots:
    void copiedProgramUnpacksEverything() {
        QTemporaryDir dir;
        const QString program = dir.filePath("veltaro-upgrade");
        QVERIFY(QFile::copy(UPGRADE_BINARY_DIR "/veltaro-upgrade", program));
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VELTARO_UNITS_DIR", dir.filePath("units"));
        run.setProcessEnvironment(env);
        run.setWorkingDirectory(dir.path());
        run.start(program, {"-s"});
        QByteArray err;
        // Start-up logs each file it unpacks and then the window's readiness; no need to wait longer.
        QTRY_VERIFY_WITH_TIMEOUT((err += run.readAllStandardError()).contains("Starting sm_A"), 20000);
        run.kill();
        run.waitForFinished();
        for (const char* name : {"firmware.dfu", "firmware.bin", "dfu-util", "libusb-1.0.so.0"})
            QVERIFY2(err.contains(QByteArray("Extracted  \"") + name + "\""), name);
        QVERIFY(!err.contains("Failed to extract"));
        // A killed program cannot remove its working directory: do it for it.
        const QRegularExpressionMatch m =
            QRegularExpression("executable: \"(.*/upgrade_[^/\"]+)/dfu-util\"").match(QString::fromUtf8(err));
        QVERIFY(m.hasMatch());
        QVERIFY(QDir(m.captured(1)).removeRecursively());
    }
};

QTEST_GUILESS_MAIN(TestSingleFile)
#include "tst_single_file.moc"
