// The built program's life as a whole, one started program per row, in simulator mode: it ends on a
// signal the way closing its window does, refuses a second start, removes what a killed program left,
// and gives up cleanly on a temporary directory it cannot use. Every row then checks the exit status,
// that the program ended within a loose limit, that no process is left behind, and that no working
// directory is left in the row's temporary directory.

#include "../common/ProcessWatch.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// The temporary directory the program is given.
enum class Temp {
    usable,
    missing,          // TMPDIR names a directory that does not exist
    read_only,        // mode 0555
    small_file_limit, // a file-size limit below the firmware's size: the disk is full as far as it knows
};

// One start of the built program with the row's environment; its standard error is collected as it comes.
class Program {
public:
    QProcess process;
    QByteArray err;

    Program() {
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
    }
    bool waitForLog(const QByteArray& fragment, int ms) {
        return QTest::qWaitFor([&] { return err.contains(fragment); }, ms) || err.contains(fragment);
    }
    void signal(int signo) { ::kill(pid_t(process.processId()), signo); }
    bool waitForEnd(int ms) {
        const bool ended = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, ms);
        err += process.readAllStandardError();
        return ended;
    }
};

// A row's own directories (temporary, runtime, simulated units) and the programs it started.
class Row {
public:
    explicit Row(Temp temp) : temp_(temp) {
        tmp = root_.filePath(temp == Temp::missing ? "missing" : "tmp");
        if (temp != Temp::missing)
            QDir().mkdir(tmp);
        if (temp == Temp::read_only)
            QFile::setPermissions(tmp, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                           QFileDevice::ReadGroup | QFileDevice::ExeGroup |
                                           QFileDevice::ReadOther | QFileDevice::ExeOther);
        const QString run = root_.filePath("run");
        QDir().mkdir(run);
        QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("QT_QPA_PLATFORM", "offscreen");
        env_.insert("TMPDIR", tmp);
        env_.insert("XDG_RUNTIME_DIR", run);
        env_.insert("VELTARO_UNITS_DIR", root_.filePath("units"));
        env_.insert("VELTARO_SIM_FIRMWARE", UPGRADE_FIRMWARE_BIN);
    }
    ~Row() {
        // QProcess ends a program still running with SIGKILL; the directory goes with the row.
        programs_.clear();
        QFile::setPermissions(tmp, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    bool setUpScenario(const QString& scenario) {
        QProcess setup;
        setup.setProcessEnvironment(env_);
        setup.start(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh",
                    {"--dfu-util-command", "setup_prepared_config", scenario});
        return setup.waitForFinished(30000) && setup.exitStatus() == QProcess::NormalExit &&
               setup.exitCode() == 0;
    }

    Program& start() {
        programs_.push_back(std::make_unique<Program>());
        Program& program = *programs_.back();
        program.process.setProcessEnvironment(env_);
        program.process.setWorkingDirectory(root_.path());
        if (temp_ != Temp::small_file_limit) {
            program.process.start(UPGRADE_BINARY_DIR "/veltaro-upgrade", {"-s"});
            return program;
        }
        // The child inherits the limit, and SIGXFSZ ignored so that a write past it fails with EFBIG.
        struct rlimit previous = {};
        ::getrlimit(RLIMIT_FSIZE, &previous);
        struct rlimit small = previous;
        small.rlim_cur = 64 * 1024;
        ::setrlimit(RLIMIT_FSIZE, &small);
        void (*previous_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
        program.process.start(UPGRADE_BINARY_DIR "/veltaro-upgrade", {"-s"});
        std::signal(SIGXFSZ, previous_handler);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        return program;
    }

    QStringList workingDirectories() const {
        return QDir(tmp).entryList({"upgrade_*"}, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    }

    QString unitsDir() const { return root_.filePath("units"); }

    QString tmp;      // the programs' TMPDIR
    QString leftover; // for a row's own use between its steps

private:
    Temp temp_;
    QTemporaryDir root_{QDir::tempPath() + "/row-XXXXXX"};
    QProcessEnvironment env_;
    std::vector<std::unique_ptr<Program>> programs_;
};

struct Case {
    QString scenario = "outdated";
    Temp temp = Temp::usable;
    std::function<void(Row&)> before;        // runs before the program under test starts
    std::function<void(Row&, Program&)> act; // drives it until it has been told to end
    int exit_code = 0;
    int limit_ms = 20000; // from the end of `act` to the program's end
    QStringList log;      // on its standard error; "{tmp}" is its TMPDIR
    QStringList absent;   // never on its standard error
};

const QStringList nothing_ran = {"Extracted", "Start ", "Starting sm_A"};

void signalWhenIdle(Program& program, const char* line, int signo) {
    QVERIFY2(program.waitForLog(line, 30000), program.err.constData());
    program.signal(signo);
}

} // namespace

Q_DECLARE_METATYPE(Case)

class TestProgramLife : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(process_watch::become_subreaper()); }
    void cleanup() { process_watch::kill_all(); }

    void programLife_data() {
        QTest::addColumn<Case>("c");

        Case term;
        term.scenario = "no_unit";
        term.act = [](Row&, Program& p) { signalWhenIdle(p, "Starting sm_A", SIGTERM); };
        term.exit_code = 128 + SIGTERM;
        term.log = QStringList{"Received signal 15", "app.exec() returns:  143"};
        QTest::newRow("SIGTERM while idle") << term;

        Case interrupt;
        interrupt.act = [](Row&, Program& p) { signalWhenIdle(p, "sig_UpgradePossible", SIGINT); };
        interrupt.exit_code = 128 + SIGINT;
        interrupt.log = QStringList{"Received signal 2", "app.exec() returns:  130"};
        QTest::newRow("SIGINT while idle, upgrade offered") << interrupt;

        Case hangup;
        hangup.scenario = "current";
        hangup.act = [](Row&, Program& p) { signalWhenIdle(p, "Starting sm_A", SIGHUP); };
        hangup.exit_code = 128 + SIGHUP;
        hangup.log = QStringList{"Received signal 1", "app.exec() returns:  129"};
        QTest::newRow("SIGHUP while idle") << hangup;

        // A unit that stops answering in the middle of a read: the read is ended with the program, long
        // before it would end by itself.
        Case hung;
        hung.before = [](Row& row) {
            QFile knobs(row.unitsDir() + "/units/3574364C3034/knobs");
            QVERIFY(knobs.open(QIODevice::Append) && knobs.write("slow_read_ms=600000\n") > 0);
        };
        hung.act = [](Row&, Program& p) { signalWhenIdle(p, "\"0x08000000:2048\"", SIGTERM); };
        hung.exit_code = 128 + SIGTERM;
        hung.limit_ms = 10000;
        hung.log = QStringList{"Stop requested: ended", "app.exec() returns:  143"};
        hung.absent = QStringList{"SM_A: /sig_DevConn"};
        QTest::newRow("hung read then SIGTERM") << hung;

        // A program killed outright leaves its working directory, its lock and its socket; the next start
        // takes the lock over and removes the directory.
        Case stale;
        stale.before = [](Row& row) {
            Program& killed = row.start();
            QVERIFY2(killed.waitForLog("Starting sm_A", 30000), killed.err.constData());
            killed.signal(SIGKILL);
            QVERIFY(killed.waitForEnd(10000));
            QCOMPARE(row.workingDirectories().size(), 1);
            row.leftover = row.tmp + "/" + row.workingDirectories().constFirst();
        };
        stale.act = [](Row& row, Program& p) {
            const QByteArray removed = "Removed the working directory of a program that has ended: \"" +
                                       row.leftover.toUtf8() + "\"";
            QVERIFY2(p.waitForLog(removed, 30000), p.err.constData());
            signalWhenIdle(p, "Starting sm_A", SIGTERM);
        };
        stale.exit_code = 128 + SIGTERM;
        QTest::newRow("stale directory of a killed program removed at start") << stale;

        Case second;
        second.act = [](Row& row, Program& first) {
            QVERIFY2(first.waitForLog("Starting sm_A", 30000), first.err.constData());
            Program& refused = row.start();
            QVERIFY(refused.waitForEnd(15000));
            QCOMPARE(refused.process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(refused.process.exitCode(), 1);
            QCOMPARE(refused.err.count("already running"), 1);
            QVERIFY2(
                refused.err.contains("\nVeltaro Firmware Upgrade Tool is already running; its window was "
                                     "brought to the front.\n"),
                refused.err.constData());
            for (const QString& line : nothing_ran)
                QVERIFY2(!refused.err.contains(line.toUtf8()), refused.err.constData());
            QVERIFY(first.waitForLog(
                "Another start of the program was refused; bringing the window to the front.", 5000));
            QCOMPARE(row.workingDirectories().size(), 1);
            first.signal(SIGTERM);
        };
        second.exit_code = 128 + SIGTERM;
        QTest::newRow("second start refused") << second;

        Case missing;
        missing.temp = Temp::missing;
        missing.exit_code = 1;
        missing.limit_ms = 15000;
        missing.log =
            QStringList{"Failed to create temporary directory: \"No such file or directory\"",
                        "cannot start: it cannot create its working directory in \"{tmp}\" (No such "
                        "file or directory)"};
        missing.absent = nothing_ran;
        QTest::newRow("temporary directory missing") << missing;

        Case read_only = missing;
        read_only.temp = Temp::read_only;
        read_only.log = QStringList{"cannot start: it cannot create its working directory in \"{tmp}\" "
                                    "(Permission denied)"};
        QTest::newRow("temporary directory not writable") << read_only;

        Case full = missing;
        full.temp = Temp::small_file_limit;
        full.log = QStringList{"Failed to extract  \"firmware.dfu\"",
                               "cannot start: it cannot unpack its files into \"{tmp}/upgrade_",
                               "(firmware.dfu: File too large)"};
        full.absent = QStringList{"Start ", "Starting sm_A"};
        QTest::newRow("temporary directory full") << full;
    }

    void programLife() {
        QFETCH(Case, c);
        if (c.temp == Temp::read_only && ::geteuid() == 0)
            QSKIP("root writes into a read-only directory");
        Row row(c.temp);
        QVERIFY(row.setUpScenario(c.scenario));
        if (c.before)
            c.before(row);
        if (QTest::currentTestFailed())
            return;
        Program& program = row.start();
        if (c.act)
            c.act(row, program);
        if (QTest::currentTestFailed())
            return;

        QVERIFY2(program.waitForEnd(c.limit_ms), "still running after the limit");
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), c.exit_code);
        for (QString line : c.log)
            QVERIFY2(program.err.contains(line.replace("{tmp}", row.tmp).toUtf8()), program.err.constData());
        for (const QString& line : c.absent)
            QVERIFY2(!program.err.contains(line.toUtf8()), program.err.constData());
        QTRY_COMPARE_WITH_TIMEOUT(process_watch::left(), QStringList(), 10000);
        QCOMPARE(row.workingDirectories(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestProgramLife)
#include "tst_program_life.moc"
