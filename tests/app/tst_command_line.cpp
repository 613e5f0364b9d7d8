#include "command_line.h"
#include "simulator.h"

#include "../common/LogCapture.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtTest>

#include <vector>

namespace {

// Runs parse_arguments on a fresh application object made from the given arguments.
void parse(const QStringList& args) {
    std::vector<QByteArray> storage{QByteArray("veltaro-upgrade")};
    for (const QString& a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    int argc = int(argv.size());
    QCoreApplication app(argc, argv.data());
    parse_arguments(&app);
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private slots:
    void switches_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("simulator");
        QTest::addColumn<bool>("logWindow");
        QTest::addColumn<QString>("line");
        QTest::newRow("none")
            << QStringList{} << false << false
            << "Initial value of 'simulator::use'=false, isSet('-s')=false, isSet('-S')=false";
        QTest::newRow("-s") << QStringList{"-s"} << true << false
                            << "Initial value of 'simulator::use'=false, isSet('-s')=true, isSet('-S')=false";
        QTest::newRow("-S") << QStringList{"-S"} << false << false
                            << "Initial value of 'simulator::use'=false, isSet('-s')=false, isSet('-S')=true";
        QTest::newRow("-s -S")
            << QStringList{"-s", "-S"} << false << false
            << "Initial value of 'simulator::use'=false, isSet('-s')=true, isSet('-S')=true";
        QTest::newRow("-S -s")
            << QStringList{"-S", "-s"} << false << false
            << "Initial value of 'simulator::use'=false, isSet('-s')=true, isSet('-S')=true";
        QTest::newRow("-sl")
            << QStringList{"-sl"} << true << true
            << "Initial value of 'simulator::use'=false, isSet('-s')=true, isSet('-S')=false";
        QTest::newRow("long names")
            << QStringList{"--use-simulator", "--use-log-window"} << true << true
            << "Initial value of 'simulator::use'=false, isSet('-s')=true, isSet('-S')=false";
        QTest::newRow("--no-use-simulator")
            << QStringList{"--no-use-simulator", "-l"} << false << true
            << "Initial value of 'simulator::use'=false, isSet('-s')=false, isSet('-S')=true";
        QTest::newRow("--install-udev-rule")
            << QStringList{"--install-udev-rule"} << false << false
            << "Initial value of 'simulator::use'=false, isSet('-s')=false, isSet('-S')=false";
    }
    void switches() {
        QFETCH(QStringList, args);
        QFETCH(bool, simulator);
        QFETCH(bool, logWindow);
        QFETCH(QString, line);
        simulator::use = false;
        use_log_window = false;
        install_udev_rule = false;
        LogCapture log;
        parse(args);
        QCOMPARE(simulator::use, simulator);
        QCOMPARE(use_log_window, logWindow);
        QCOMPARE(install_udev_rule, args.contains("--install-udev-rule"));
        QCOMPARE(log.lines(), QStringList{"debug: " + line});
    }

    // The parser ends the process on an unknown option, so this runs in a child process.
    void unknownOptionEndsTheProgram_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("message");
        QTest::newRow("-h") << "-h"
                            << "Unknown option 'h'.";
        QTest::newRow("--help") << "--help"
                                << "Unknown option 'help'.";
        QTest::newRow("-x") << "-x"
                            << "Unknown option 'x'.";
    }
    void unknownOptionEndsTheProgram() {
        QFETCH(QString, option);
        QFETCH(QString, message);
        int argc = 1;
        char name[] = "tst_command_line";
        char* argv[] = {name};
        QCoreApplication app(argc, argv);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PARSE_ONLY", option);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY(child.exitCode() != 0);
        QVERIFY2(child.readAllStandardError().contains(message.toUtf8()), qPrintable(message));
    }
};

int main(int argc, char** argv) {
    const QByteArray only = qgetenv("PARSE_ONLY");
    if (!only.isEmpty()) {
        parse({QString::fromLocal8Bit(only)});
        return 0;
    }
    TestCommandLine t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_command_line.moc"
