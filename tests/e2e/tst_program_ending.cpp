// How the program ends when the user acts in the middle of the work, one process per case (start-up runs
// once per process), in simulator mode. The case comes from VELTARO_E2E_SCENARIO (set by CTest):
//   exchange_after_click  the unit is exchanged right after the click: the tool refuses the other unit,
//                         which keeps its firmware and is judged on its own
//   hung_read_close       the window is closed while a read hangs: the read is ended, the program ends
//   slow_download_close   the window is closed during the download: it stays open, says why, and the
//                         program ends once the image is written
// Each case ends with the window closed and checks the event loop's result, that the loop ended within
// a loose limit, and that no process is left; CTest's wrapper checks that no working directory is left.

#include "MainWindow.h"
#include "SM_A.h"
#include "SM_B.h"
#include "startup.h"

#include "../common/LogCapture.h"
#include "../common/ProcessWatch.h"
#include "../common/SimulatorMain.h"
#include "../common/WindowState.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace window_state;

namespace {

const QString serial_X = QStringLiteral("3574364C3034");
const QString serial_Y = QStringLiteral("3574364C3035");

QByteArray read_all(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool set_up(const QString& units, const QString& scenario) {
    QProcess setup;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VELTARO_UNITS_DIR"), units);
    setup.setProcessEnvironment(env);
    setup.start(QStringLiteral(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh"),
                {QStringLiteral("--dfu-util-command"), QStringLiteral("setup_prepared_config"), scenario});
    return setup.waitForFinished(30000) && setup.exitCode() == 0;
}

} // namespace

class TestProgramEnding : public QObject {
    Q_OBJECT
    QTemporaryDir units_;
    QTemporaryDir held_;
    QString scenario_ = QString::fromLocal8Bit(qgetenv("VELTARO_E2E_SCENARIO"));
    LogCapture* log_ = nullptr;

    QString unit_file(const QString& serial, const QString& name) const {
        return units_.path() + QStringLiteral("/units/") + serial + QLatin1Char('/') + name;
    }

    // Closes the window the way the window manager does, and runs the event loop until it ends, at most
    // `limit_ms`; returns the loop's result, or -1 when it had to be ended.
    int closeAndRun(int limit_ms, bool held) {
        QTimer::singleShot(0, [held] {
            QCOMPARE(mainWindow->close(), !held);
            QCOMPARE(mainWindow->isVisible(), held);
        });
        bool too_late = false;
        QTimer::singleShot(limit_ms, [&too_late] {
            too_late = true;
            QCoreApplication::exit(-1);
        });
        const int result = qApp->exec();
        return too_late ? -1 : result;
    }

private slots:
    void initTestCase() {
        QVERIFY(process_watch::become_subreaper());
        QVERIFY(!scenario_.isEmpty());
        qputenv("VELTARO_UNITS_DIR", units_.path().toLocal8Bit());
        qputenv("VELTARO_SIM_FIRMWARE", UPGRADE_FIRMWARE_BIN);
        QVERIFY(set_up(units_.path(), QStringLiteral("outdated")));
        QFile knobs(unit_file(serial_X, QStringLiteral("knobs")));
        QVERIFY(knobs.open(QIODevice::Append));
        // Back soon after its download; a unit that stops answering in the read of its information.
        knobs.write(scenario_ == "hung_read_close" ? "slow_read_ms=600000\n" : "reappear_ms=300\n");
        knobs.close();
        if (scenario_ == "exchange_after_click") {
            // Y: the same kind of unit, waiting to be put in X's place.
            QVERIFY(set_up(held_.path(), QStringLiteral("outdated")));
        }
        log_ = new LogCapture;
        QVERIFY(GUI_init());
    }

    void endsAsTheUserAsks() {
        QTRY_VERIFY_WITH_TIMEOUT(log_->contains("Starting sm_A"), 10000);
        if (scenario_ == "exchange_after_click") {
            QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 20000);
            const QByteArray flash_Y = read_all(held_.path() + "/units/" + serial_X + "/flash.bin");
            QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
            // In the same instant, before the worker takes the command: X out, Y in.
            QVERIFY(QDir().rename(units_.path() + "/units/" + serial_X, held_.path() + "/X"));
            QVERIFY(QDir().rename(held_.path() + "/units/" + serial_X, units_.path() + "/units/" + serial_Y));
            // Y is judged on its own and offered its upgrade; its flash was never touched.
            QTRY_COMPARE_WITH_TIMEOUT(log_->count("SM_B: entered B2:"), 2, 30000);
            QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 10000);
            // The tool refused the command addressed to X, or the worker saw Y first and dropped it.
            QVERIFY(log_->contains("No DFU capable USB device available") ||
                    log_->contains("SM_A: command dropped"));
            QCOMPARE(read_all(unit_file(serial_Y, QStringLiteral("flash.bin"))), flash_Y);
            QCOMPARE(closeAndRun(10000, false), 0);
        } else if (scenario_ == "hung_read_close") {
            QTRY_VERIFY_WITH_TIMEOUT(log_->contains("\"0x08000000:2048\""), 20000);
            QCOMPARE(closeAndRun(10000, false), 0);
            // The worker ends the read as soon as it sees the request.
            QTRY_VERIFY_WITH_TIMEOUT(log_->contains("Stop requested: ended"), 5000);
            QVERIFY(!log_->contains("SM_A: /sig_DevConn"));
        } else if (scenario_ == "slow_download_close") {
            QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 20000);
            QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(sm_A->is_downloading(), 20000);
            // Held open with the reason until the image is written (about 5 s in the simulator).
            QCOMPARE(closeAndRun(60000, true), 0);
            QVERIFY(log_->contains("The upgrade is being written:"));
            QVERIFY(log_->contains("SM_A: /sig_FwDownloaded"));
            QVERIFY(!log_->contains("Stop requested"));
            const QByteArray image = read_all(UPGRADE_FIRMWARE_BIN);
            QCOMPARE(read_all(unit_file(serial_X, QStringLiteral("flash.bin"))).left(image.size()), image);
        } else {
            QFAIL("no such case");
        }
    }

    void cleanupTestCase() {
        QCOMPARE(GUI_cleanup(0), 0);
        QVERIFY(!sm_A && !sm_B);
        QTRY_COMPARE_WITH_TIMEOUT(process_watch::left(), QStringList(), 10000);
        delete log_;
    }
};

int main(int argc, char** argv) {
    return run_in_simulator_mode<TestProgramEnding>(argc, argv);
}

#include "tst_program_ending.moc"
