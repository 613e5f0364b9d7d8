// The built program is one file: copied alone into an empty directory, it still unpacks the tool, its
// library and both firmware images, and the unpacked tool runs.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

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
        // Its own temporary and runtime directories: no other program's lock or working directory.
        QVERIFY(QDir(dir.path()).mkdir("tmp") && QDir(dir.path()).mkdir("run"));
        QVERIFY(QFile::setPermissions(dir.filePath("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                               QFileDevice::ExeOwner));
        env.insert("TMPDIR", dir.filePath("tmp"));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
        run.setProcessEnvironment(env);
        run.setWorkingDirectory(dir.path());
        run.start(program, {"-s"});
        QByteArray err;
        // Start-up logs each file it unpacks and then the window's readiness; no need to wait longer.
        QTRY_VERIFY_WITH_TIMEOUT((err += run.readAllStandardError()).contains("Starting sm_A"), 20000);
        run.terminate();
        QVERIFY(run.waitForFinished(30000));
        QCOMPARE(run.exitCode(), 128 + SIGTERM);
        for (const char* name : {"firmware.dfu", "firmware.bin", "dfu-util", "libusb-1.0.so.0"})
            QVERIFY2(err.contains(QByteArray("Extracted  \"") + name + "\""), name);
        QVERIFY(!err.contains("Failed to extract"));
        // Ended by a signal, it still removes its working directory.
        const QRegularExpressionMatch m =
            QRegularExpression("executable: \"(.*/upgrade_[^/\"]+)/dfu-util\"").match(QString::fromUtf8(err));
        QVERIFY(m.hasMatch());
        QVERIFY(!QFileInfo::exists(m.captured(1)));
    }
};

QTEST_GUILESS_MAIN(TestSingleFile)
#include "tst_single_file.moc"
