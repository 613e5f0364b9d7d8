// The rule installer of the built program ("--install-udev-rule"): it runs without a display, writes
// exactly the packaged rule and nothing else, leaves udev alone for another root, and refuses clearly.

#include "udev_rule.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString program = QStringLiteral(UPGRADE_BINARY_DIR "/veltaro-upgrade");
const QString rule_path = QStringLiteral("etc/udev/rules.d/70-veltaro-upgrade.rules");

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString& path, const QByteArray& data) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(data) == data.size();
}

// Every entry below `dir`, relative to it, sorted.
QStringList tree(const QString& dir) {
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(dir).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

} // namespace

class TestUdevRule : public QObject {
    Q_OBJECT

    QScopedPointer<QTemporaryDir> work_;

    QString path(const QString& name) const { return work_->filePath(name); }

    // The program with no display at all: were it to make a QApplication, the xcb platform would end it.
    // A udevadm on PATH records any call; TMPDIR is the test's own.
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("TMPDIR"), path(QStringLiteral("tmp")));
        env.insert(QStringLiteral("PATH"),
                   path(QStringLiteral("bin")) + QLatin1Char(':') + env.value("PATH"));
        env.remove(QStringLiteral("VELTARO_UDEV_ROOT"));
        return env;
    }

    Run run(const QProcessEnvironment& env, const QStringList& arguments, const QString& via = QString(),
            const QStringList& via_arguments = {}) const {
        QProcess process;
        process.setProcessEnvironment(env);
        if (via.isEmpty())
            process.start(program, arguments);
        else
            process.start(via, via_arguments + QStringList{program} + arguments);
        Run result;
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

private slots:
    void init() {
        work_.reset(new QTemporaryDir);
        QVERIFY(work_->isValid());
        QVERIFY(QDir().mkpath(path("tmp")));
        QVERIFY(
            write(path("bin/udevadm"), "#!/bin/sh\necho \"$@\" >>\"$(dirname \"$0\")/../udevadm-called\"\n"));
        QVERIFY(QFile::setPermissions(path("bin/udevadm"), QFile::ReadOwner | QFile::WriteOwner |
                                                               QFile::ExeOwner | QFile::ReadOther |
                                                               QFile::ExeOther));
    }

    void writesThePackagedRule_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("before");
        QTest::newRow("fresh root") << QStringList{"--install-udev-rule"} << QByteArray();
        QTest::newRow("older rule replaced")
            << QStringList{"--install-udev-rule"} << QByteArray("SUBSYSTEM==\"usb\", MODE=\"0666\"\n");
        QTest::newRow("window options ignored")
            << QStringList{"-s", "-l", "--install-udev-rule"} << QByteArray();
    }
    void writesThePackagedRule() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, before);
        const QString root = path("root");
        if (!before.isNull())
            QVERIFY(write(root + "/" + rule_path, before));
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("VELTARO_UDEV_ROOT"), root);

        const Run result = run(env, arguments);
        QVERIFY2(result.code == 0, result.err.constData());
        const QString written = root + "/" + rule_path;
        QCOMPARE(QString::fromLocal8Bit(result.out).trimmed(), "Wrote the udev rule " + written);
        QCOMPARE(result.err, QByteArray());

        const QByteArray packaged = read(UPGRADE_SOURCE_DIR "/packaging/70-veltaro-upgrade.rules");
        QVERIFY(!packaged.isEmpty());
        QCOMPARE(read(written), packaged);
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(written).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0644));
        QCOMPARE(tree(root), (QStringList{"etc", "etc/udev", "etc/udev/rules.d", rule_path}));
        QCOMPARE(tree(path("tmp")), QStringList()); // nothing unpacked
        QVERIFY2(!QFile::exists(path("udevadm-called")), read(path("udevadm-called")).constData());
    }

    void refuses_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("blocking_file"); // a file where the rules directory would go
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option")
            << QStringList{"--install-udev-rule", "--bogus"} << QString() << "Unknown option 'bogus'.";
        QTest::newRow("rules directory is a file") << QStringList{"--install-udev-rule"} << "etc/udev/rules.d"
                                                   << "Cannot create the directory <root>/etc/udev/rules.d";
        QTest::newRow("rule is a directory")
            << QStringList{"--install-udev-rule"} << QString() << "Cannot write <root>/" + rule_path + ": ";
    }
    void refuses() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, blocking_file);
        QFETCH(QString, message);
        const QString root = path("root");
        if (!blocking_file.isEmpty())
            QVERIFY(write(root + "/" + blocking_file, "x"));
        else if (message.startsWith("Cannot write"))
            QVERIFY(QDir().mkpath(root + "/" + rule_path + "/occupied"));
        const QStringList before = tree(path("."));
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("VELTARO_UDEV_ROOT"), root);

        const Run result = run(env, arguments);
        QVERIFY(result.code > 0);
        message.replace("<root>", root);
        QVERIFY2(result.err.contains(message.toLocal8Bit()), result.err.constData());
        QCOMPARE(tree(path(".")), before);
    }

    // Without another root and without root privileges, the user is told the exact command. As root
    // (CI) the program runs as nobody, so the machine's real rules are never at stake.
    void nonRootIsToldTheCommand() {
        QString via;
        QStringList via_arguments;
        if (::geteuid() == 0) {
            via = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
            if (via.isEmpty())
                QSKIP("running as root without setpriv to drop privileges");
            via_arguments = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"};
            for (const QString& dir : {work_->path(), path("tmp")})
                QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0777) == 0);
        }
        const QStringList before = tree(path("."));
        const Run result = run(environment(), {"--install-udev-rule"}, via, via_arguments);
        QCOMPARE(result.code, 1);
        QCOMPARE(QString::fromLocal8Bit(result.err),
                 "Installing the udev rule needs root privileges. Run:\n    sudo " + program +
                     " --install-udev-rule\n");
        QCOMPARE(tree(path(".")), before);
    }

    // The running system's rules: as root, in a mount namespace of its own whose /etc is an empty tmpfs,
    // so the machine's /etc is never touched. udevadm is the recording stand-in on PATH.
    void realRootReloadsUdev_data() {
        QTest::addColumn<int>("udevadm_status");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const QString written = "Wrote the udev rule /etc/udev/rules.d/70-veltaro-upgrade.rules\n";
        QTest::newRow("reloaded and triggered")
            << 0
            << "control --reload-rules\n"
               "trigger --action=add --subsystem-match=usb --attr-match=idVendor=0483 "
               "--attr-match=idProduct=df11\n"
            << written + "Reloaded the udev rules: a connected unit can be used now.\n"
            << "";
        QTest::newRow("udevadm fails")
            << 1 << "control --reload-rules\n"
            << written
            << "Could not reload the udev rules (udevadm): disconnect the unit's USB "
               "cable and connect it again so that the rule applies.\n";
    }
    void realRootReloadsUdev() {
        QFETCH(int, udevadm_status);
        QFETCH(QString, calls);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        if (::geteuid() != 0 || unshare.isEmpty())
            QSKIP("needs root and unshare for a private /etc");
        QProcess probe;
        probe.start(unshare, {"-m", "sh", "-ec", "mount -t tmpfs tmpfs /etc"});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            QSKIP("no mount namespace here");
        QVERIFY(write(path("bin/udevadm"), QStringLiteral("#!/bin/sh\necho \"$@\" >>\"$(dirname \"$0\")/../"
                                                          "udevadm-called\"\nexit %1\n")
                                               .arg(udevadm_status)
                                               .toLatin1()));

        // The rule and the tree of the private /etc are copied out before the namespace ends.
        const QString script =
            "mount -t tmpfs tmpfs /etc; status=0; \"$0\" --install-udev-rule || status=$?; "
            "cp /etc/udev/rules.d/70-veltaro-upgrade.rules \"$1/seen\" || true; "
            "(cd /etc && find . | sort) >\"$1/tree\"; exit $status";
        const Run result = run(environment(), {path(".")}, unshare, {"-m", "sh", "-ec", script});
        QCOMPARE(result.code, 0);
        QCOMPARE(QString::fromLocal8Bit(result.out), out);
        QCOMPARE(QString::fromLocal8Bit(result.err), err);
        QCOMPARE(QString::fromLocal8Bit(read(path("udevadm-called"))), calls);
        QCOMPARE(read(path("seen")), read(UPGRADE_SOURCE_DIR "/packaging/70-veltaro-upgrade.rules"));
        QCOMPARE(QString::fromLocal8Bit(read(path("tree"))),
                 QString(".\n./udev\n./udev/rules.d\n./udev/rules.d/70-veltaro-upgrade.rules\n"));
    }

    void shellQuoted_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("quoted");
        QTest::newRow("plain path") << "/usr/bin/veltaro-upgrade"
                                    << "/usr/bin/veltaro-upgrade";
        QTest::newRow("space") << "/home/a b/veltaro-upgrade"
                               << "'/home/a b/veltaro-upgrade'";
        QTest::newRow("single quote") << "/tmp/it's/x"
                                      << "'/tmp/it'\\''s/x'";
        QTest::newRow("shell characters") << "/tmp/$HOME;rm"
                                          << "'/tmp/$HOME;rm'";
        QTest::newRow("empty") << ""
                               << "''";
    }
    void shellQuoted() {
        QFETCH(QString, text);
        QFETCH(QString, quoted);
        QCOMPARE(udev_rule::shell_quoted(text), quoted);
        // What a shell makes of it is the text again.
        QProcess sh;
        sh.start("/bin/sh", {"-c", "printf %s " + quoted});
        QVERIFY(sh.waitForFinished(10000));
        QCOMPARE(QString::fromLocal8Bit(sh.readAllStandardOutput()), text);
    }

    void installCommandNamesThisExecutable() {
        QCOMPARE(udev_rule::install_command(),
                 QCoreApplication::applicationFilePath() + " --install-udev-rule");
        QVERIFY(QFileInfo(QCoreApplication::applicationFilePath()).isAbsolute());
    }

    void pkexecOnPath_data() {
        QTest::addColumn<QByteArray>("script"); // null: no pkexec at all
        QTest::addColumn<bool>("executable");
        QTest::addColumn<bool>("available");
        QTest::newRow("on PATH") << QByteArray("#!/bin/sh\n") << true << true;
        QTest::newRow("not executable") << QByteArray("#!/bin/sh\n") << false << false;
        QTest::newRow("absent") << QByteArray() << false << false;
    }
    void pkexecOnPath() {
        QFETCH(QByteArray, script);
        QFETCH(bool, executable);
        QFETCH(bool, available);
        const QString dir = path("path");
        QVERIFY(QDir().mkpath(dir));
        if (!script.isNull()) {
            QVERIFY(write(dir + "/pkexec", script));
            if (executable)
                QVERIFY(QFile::setPermissions(dir + "/pkexec", QFile::ReadOwner | QFile::ExeOwner));
        }
        const QByteArray saved = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(dir));
        const bool found = !udev_rule::pkexec_program().isEmpty();
        qputenv("PATH", saved);
        QCOMPARE(found, available);
    }
};

QTEST_GUILESS_MAIN(TestUdevRule)
#include "tst_udev_rule.moc"
