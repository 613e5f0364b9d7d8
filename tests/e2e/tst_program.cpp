// The real start-up in simulator mode, one process per scenario (start-up runs once per process):
// GUI_init builds everything, the event loop runs, the simulated unit walks its road, and the window
// shows each step. The scenario comes from VELTARO_E2E_SCENARIO (set by CTest).

#include "LogWindow.h"
#include "MainWindow.h"
#include "SM_A.h"
#include "SM_B.h"
#include "startup.h"

#include "../common/LogCapture.h"
#include "../common/SimulatorMain.h"
#include "../common/WindowState.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace window_state;

class TestProgram : public QObject {
    Q_OBJECT
    QTemporaryDir units_;
    QString scenario_ = QString::fromLocal8Bit(qgetenv("VELTARO_E2E_SCENARIO"));
    LogCapture* log_ = nullptr;
    // What the status line says for a unit that cannot be used, per scenario.
    const QMap<QString, QStringList> diagnoses = {
        {"two_units", {"More than one unit in DFU mode is connected", "Connect only the one to upgrade"}},
        {"unreadable", {"connected but could not be read", "follow steps 1 to 4 again"}},
        {"busy", {"another program is using it", "Close that program"}},
    };

private slots:
    void initTestCase() {
        QVERIFY(!scenario_.isEmpty());
        qputenv("VELTARO_UNITS_DIR", units_.path().toLocal8Bit());
        qputenv("VELTARO_SIM_FIRMWARE", UPGRADE_FIRMWARE_BIN);
        QProcess setup;
        setup.start(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh",
                    {"--dfu-util-command", "setup_prepared_config", scenario_});
        QVERIFY(setup.waitForFinished(30000));
        QCOMPARE(setup.exitCode(), 0);

        log_ = new LogCapture;
        QVERIFY(GUI_init());
        // The worker starts from the event loop, never during start-up.
        QVERIFY(!log_->contains("Starting sm_A"));
        QVERIFY(mainWindow);
        QCOMPARE(mainWindow->windowTitle(), QString("Veltaro Firmware Upgrade Tool"));
        QVERIFY(log_->contains("info: Will use simulator (i.e. option 'use_simulator)."));
    }

    void startsWithNoUnitScreen() {
        QTRY_VERIFY_WITH_TIMEOUT(log_->contains("Starting sm_A"), 5000);
        QVERIFY(status().contains("Note: Once the update is finished"));
        QVERIFY(!buttonEnabled());
        QVERIFY(!barVisible());
    }

    void unitWalksItsRoad() {
        if (scenario_ == "outdated") {
            QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 20000);
            QVERIFY2(status().contains("Connected to a Lx-50 with firmware version 2.3.1"),
                     qPrintable(status()));
            QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
            QVERIFY(barVisible());
            QCOMPARE(barText(), QString("Upgrading firmware"));
            QTRY_VERIFY_WITH_TIMEOUT(barText() == "Uploading & verifying", 60000);
            QTRY_COMPARE_WITH_TIMEOUT(barText(), QString("Done. Disconnect USB cable."), 30000);
            QVERIFY(barVisible());
            QCOMPARE(mainWindow->progressBar->value(), mainWindow->progressBar->maximum());
            QVERIFY(status().contains("Connected to a Lx-50 with firmware version 2.4.0"));
        } else if (scenario_ == "corrupt") {
            QTRY_VERIFY_WITH_TIMEOUT(mainWindow->verificationFailedShown, 30000);
            QVERIFY(buttonEnabled());
            QVERIFY(mainWindow->installButton->isVisible());
            QVERIFY(!barVisible());
            QVERIFY(status().contains("with firmware version 2.4.0"));
        } else if (scenario_ == "other_product") {
            QTRY_VERIFY_WITH_TIMEOUT(status().contains("Connected to a K7."), 20000);
            // Judged and refused: the button stays disabled while the unit stays connected, and the
            // status names the product found and the one this tool is for.
            QTRY_VERIFY_WITH_TIMEOUT(log_->contains("B8: Invalid (DFU-SE) dev. conn."), 5000);
            QTRY_VERIFY2(status().contains("This tool upgrades only the Veltaro Lx-50"),
                         qPrintable(status()));
            QVERIFY(!buttonEnabled());
        } else if (diagnoses.contains(scenario_)) {
            // A unit is there but cannot be used: the status says why and what to do, nothing is offered.
            for (const QString& words : diagnoses[scenario_])
                QTRY_VERIFY2_WITH_TIMEOUT(status().contains(words), qPrintable(status()), 20000);
            QVERIFY(!buttonEnabled());
            QVERIFY(!barVisible());
            if (scenario_ == "two_units") {
                // One unit left: it is judged and offered as usual.
                QVERIFY(QDir(units_.path() + "/units/3574364C3035").removeRecursively());
                QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 20000);
                QVERIFY2(status().contains("Connected to a Lx-50 with firmware version 2.3.1"),
                         qPrintable(status()));
            } else {
                // Gone: the window is back at the no-unit screen.
                QProcess unplug;
                unplug.start(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh",
                             {"--dfu-util-command", "setup_prepared_config", "no_unit"});
                QVERIFY(unplug.waitForFinished(30000) && unplug.exitCode() == 0);
                QTRY_VERIFY_WITH_TIMEOUT(status().contains("Note: Once the update is finished"), 20000);
            }
        } else {
            QSKIP("no road for this scenario");
        }
    }

    // Ctrl+L opens and closes the log window from either window, also without "-l".
    void ctrlLTogglesTheLogWindow() {
        QApplication::setActiveWindow(mainWindow);
        QTRY_VERIFY(mainWindow->isActiveWindow());
        QTest::keyClick(mainWindow, Qt::Key_L, Qt::ControlModifier);
        QTRY_VERIFY(logWindow->dialog->isVisible());
        QApplication::setActiveWindow(logWindow->dialog);
        QTRY_VERIFY(logWindow->dialog->isActiveWindow());
        QTest::keyClick(logWindow->dialog, Qt::Key_L, Qt::ControlModifier);
        QTRY_VERIFY(!logWindow->dialog->isVisible());
    }

    // The finish keys stop the machine and the worker but leave the window open.
    void finishKeysStopTheWorkflow() {
        if (scenario_ != "other_product")
            QSKIP("once is enough");
        QTest::keyClick(mainWindow, Qt::Key_Escape);
        QVERIFY(sm_A->isFinished());
        QTRY_VERIFY(!sm_B->isRunning());
        QVERIFY(mainWindow->isVisible());
    }

    // Closing the window ends the event loop; clean-up stops and deletes in order and hands the loop's
    // result back.
    void shutdownInOrder() {
        QTimer::singleShot(0, [] { mainWindow->close(); });
        const int result = qApp->exec();
        QCOMPARE(result, 0);
        // The finish keys may have put Qt's default handler back: capture afresh.
        delete log_;
        log_ = new LogCapture;
        QCOMPARE(GUI_cleanup(result), result);
        const QStringList texts = log_->texts();
        const int returns = texts.indexOf("app.exec() returns:  0");
        const int waiting = texts.indexOf("Waiting 2 s before deleting objects");
        const int dtor = texts.indexOf("SM_A: Waiting in dtor");
        QVERIFY2(returns >= 0 && waiting > returns && dtor > waiting, qPrintable(texts.join('\n')));
        QVERIFY(!sm_A && !sm_B);
        delete log_;
    }
};

int main(int argc, char** argv) {
    return run_in_simulator_mode<TestProgram>(argc, argv);
}

#include "tst_program.moc"
