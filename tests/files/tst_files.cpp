#include "Files.h"
#include "support_misc.h"

#include "../common/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QtTest>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

// What a sweep of the temporary directory finds there.
enum class Leftover {
    ended_owner,       // the working directory of a program that was killed
    live_owner,        // a running program's
    unclaimed_fresh,   // made a moment ago by a program that has not claimed it yet
    unclaimed_old,     // made long ago, never claimed, only the program's files
    garbled_lock_old,  // an owner lock nobody can read, long ago
    user_files_old,    // a directory of the user's that happens to carry such a name
    other_name,        // an ended owner's, but not a name the program makes
    symbolic_link,     // a link to an ended owner's directory elsewhere
    regular_file,      // a file with such a name
    other_user,        // an ended owner's, but another user's
    own_unclaimed_old, // this program's own, before it claimed it, with an old time stamp
};
Q_DECLARE_METATYPE(Leftover)

class TestFiles : public QObject {
    Q_OBJECT
    std::unique_ptr<QLockFile> live_lock_;

    static QString working(const QString& name) { return Files::external_dir.path() + "/" + name; }
    static QByteArray read_all(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static bool write(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }
    static bool set_old(const QString& path) {
        const time_t then = time(nullptr) - 3600;
        const struct timeval times[2] = {{then, 0}, {then, 0}};
        return ::utimes(QFile::encodeName(path).constData(), times) == 0;
    }
    // The lock a killed program leaves: taken by a process that ends without unlocking it.
    static bool leave_lock_of_ended_process(const QString& path) {
        const pid_t child = fork();
        if (child == 0) {
            QLockFile lock(path);
            _exit(lock.tryLock(0) ? 0 : 1);
        }
        int status = 0;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

private slots:
    void initTestCase() {
        // The sweep removes what it finds in the temporary directory: never let it near the user's.
        QVERIFY2(Files::temp_location().startsWith(UPGRADE_BINARY_DIR "/"),
                 "run through ctest, which gives this test a TMPDIR of its own");
    }

    // Runs before the working directory is claimed, so that the own directory looks unclaimed.
    void sweepRemovesOnlyWhatEndedProgramsLeft_data() {
        QTest::addColumn<Leftover>("leftover");
        QTest::addColumn<bool>("removed");
        QTest::newRow("ended owner") << Leftover::ended_owner << true;
        QTest::newRow("live owner") << Leftover::live_owner << false;
        QTest::newRow("unclaimed, fresh") << Leftover::unclaimed_fresh << false;
        QTest::newRow("unclaimed, old") << Leftover::unclaimed_old << true;
        QTest::newRow("garbled lock, old") << Leftover::garbled_lock_old << true;
        QTest::newRow("user's files, old") << Leftover::user_files_old << false;
        QTest::newRow("other name") << Leftover::other_name << false;
        QTest::newRow("symbolic link") << Leftover::symbolic_link << false;
        QTest::newRow("regular file") << Leftover::regular_file << false;
        QTest::newRow("other user") << Leftover::other_user << false;
        QTest::newRow("own, unclaimed, old") << Leftover::own_unclaimed_old << false;
    }
    void sweepRemovesOnlyWhatEndedProgramsLeft() {
        QFETCH(Leftover, leftover);
        QFETCH(bool, removed);
        if (leftover == Leftover::other_user && geteuid() != 0)
            QSKIP("only root can give a directory to another user");
        const QDir temp(Files::temp_location());
        QString path = temp.filePath(leftover == Leftover::other_name ? "upgrade_Ab3de" : "upgrade_Ab3def");
        QString also; // a second entry the sweep must leave alone
        const QString lock = path + "/owner.lock";
        switch (leftover) {
        case Leftover::ended_owner:
        case Leftover::other_name:
        case Leftover::other_user:
            QVERIFY(temp.mkdir(QFileInfo(path).fileName()));
            QVERIFY(write(path + "/firmware.bin", "image"));
            QVERIFY(leave_lock_of_ended_process(lock));
            if (leftover == Leftover::other_user)
                QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
            break;
        case Leftover::live_owner:
            QVERIFY(temp.mkdir(QFileInfo(path).fileName()));
            live_lock_ = std::make_unique<QLockFile>(lock);
            QVERIFY(live_lock_->tryLock(0));
            QVERIFY(set_old(path));
            break;
        case Leftover::unclaimed_fresh:
        case Leftover::unclaimed_old:
        case Leftover::garbled_lock_old:
        case Leftover::user_files_old:
            QVERIFY(temp.mkdir(QFileInfo(path).fileName()));
            QVERIFY(write(path + "/firmware.bin", "image"));
            QVERIFY(write(path + "/uploaded_OTP.bin", "otp"));
            if (leftover == Leftover::garbled_lock_old)
                QVERIFY(write(lock, "not a lock"));
            if (leftover == Leftover::user_files_old)
                QVERIFY(write(path + "/notes.txt", "mine"));
            if (leftover != Leftover::unclaimed_fresh)
                QVERIFY(set_old(path));
            break;
        case Leftover::symbolic_link:
            QVERIFY(temp.mkpath("elsewhere/upgrade_Xy9zzz"));
            also = temp.filePath("elsewhere/upgrade_Xy9zzz");
            QVERIFY(leave_lock_of_ended_process(also + "/owner.lock"));
            QVERIFY(QFile::link(also, path));
            break;
        case Leftover::regular_file:
            QVERIFY(write(path, "not a directory"));
            QVERIFY(set_old(path));
            break;
        case Leftover::own_unclaimed_old:
            path = Files::external_dir.path();
            QVERIFY(set_old(path));
            break;
        }

        LogCapture log;
        QCOMPARE(Files::remove_stale_working_directories(), removed ? 1 : 0);
        QCOMPARE(QFileInfo::exists(path) || QFileInfo(path).isSymLink(), !removed);
        QCOMPARE(log.lines(),
                 removed ? QStringList{"info: Removed the working directory of a program that has ended: \"" +
                                       path + "\""}
                         : QStringList{});
        if (!also.isEmpty())
            QVERIFY(QFileInfo::exists(also + "/owner.lock"));

        live_lock_.reset();
        if (leftover != Leftover::own_unclaimed_old) {
            QFile::remove(path);
            QDir(path).removeRecursively();
            QDir(temp.filePath("elsewhere")).removeRecursively();
        }
    }

    // The claim marks the directory as held by a running program: another look at its lock finds the
    // owner alive, here this very process.
    void claimMarksTheDirectoryAsHeld() {
        QString error;
        QVERIFY(Files::claim_working_directory(&error));
        QVERIFY(error.isEmpty());
        QLockFile other(working("owner.lock"));
        other.setStaleLockTime(0);
        QVERIFY(!other.tryLock(0));
        QCOMPARE(other.error(), QLockFile::LockFailedError);
        qint64 pid = 0;
        QString host, application;
        QVERIFY(other.getLockInfo(&pid, &host, &application));
        QCOMPARE(pid, qint64(QCoreApplication::applicationPid()));
        QCOMPARE(Files::remove_stale_working_directories(), 0);
        QVERIFY(QFileInfo::exists(working("owner.lock")));
    }

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
        QCOMPARE(log.lines(),
                 QStringList({"debug: Extracted  \"firmware.dfu\"", "debug: Extracted  \"firmware.bin\"",
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
        QString error;
        QVERIFY(!Files::extract_resources({Files::desired_FW_bin}, true, &error));
        QCOMPARE(read_all(path), QByteArray("first copy"));
        QCOMPARE(log.lines(), QStringList{"info: Failed to extract  \"firmware.bin\""});
        QCOMPARE(error, QString("firmware.bin: File exists"));
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
        const QString expected =
            "libusb-1.0.so.0 => " + QFileInfo(working("libusb-1.0.so.0")).canonicalFilePath();
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
        // Start-up claims the directory first and gives up there, with the reason.
        QString error;
        QVERIFY(!Files::claim_working_directory(&error));
        QCOMPARE(error, QString("Not a directory"));
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
