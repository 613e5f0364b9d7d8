// The whole program in real mode: its own unpacked dfu-util talks, through the stand-in libusb, to an
// emulated unit laid out from one of the simulator's scenarios. One process per scenario (start-up runs
// once per process); the scenario comes from VELTARO_E2E_SCENARIO (set by CTest). With
// VELTARO_E2E_TIMELINE=1 the program's log is also written to standard error with the milliseconds since
// start-up, to measure one upgrade.

#include "DFU.h"
#include "Files.h"
#include "MainWindow.h"
#include "SM_A.h"
#include "SM_B.h"
#include "startup.h"

#include "../../common/LogCapture.h"
#include "../../common/WindowState.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdio>

namespace {

const QString done_text = QStringLiteral("Done. Disconnect USB cable.");

using namespace window_state;

// Stamps each message and hands it on to the capture.
QElapsedTimer clock_;
QtMessageHandler captured_ = nullptr;
void timeline(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    std::fprintf(stderr, "%8lld ms  %s\n", static_cast<long long>(clock_.elapsed()),
                 qPrintable(msg.left(300).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    captured_(type, context, msg);
}

} // namespace

class TestProgramEmulated : public QObject {
    Q_OBJECT
    QTemporaryDir units_;
    QString scenario_ = QString::fromLocal8Bit(qgetenv("VELTARO_E2E_SCENARIO"));
    LogCapture* log_ = nullptr;

    // The simulator's layout for the scenario, plus the unit's knobs for the field's failures.
    bool prepare() {
        QString layout = scenario_;
        QStringList knobs;
        if (scenario_ == "outdated") {
            knobs << "reappear_ms=300";
        } else if (scenario_ == "never_returns") {
            layout = "outdated";
            knobs << "never_returns=1";
        } else if (scenario_ == "no_status_after_leave") {
            layout = "outdated";
            knobs << "reappear_ms=300"
                  << "no_status_after_leave=1";
        }
        if (qEnvironmentVariableIsSet("VELTARO_E2E_REAPPEAR_MS"))
            knobs.replaceInStrings(QRegularExpression("^reappear_ms=.*"),
                                   "reappear_ms=" + qEnvironmentVariable("VELTARO_E2E_REAPPEAR_MS"));
        QProcess setup;
        setup.start(UPGRADE_SOURCE_DIR "/simulator/dfu-util_simulator.sh",
                    {"--dfu-util-command", "setup_prepared_config", layout});
        if (!setup.waitForFinished(30000) || setup.exitCode() != 0)
            return false;
        if (knobs.isEmpty())
            return true;
        QFile file(units_.path() + "/units/3574364C3034/knobs");
        return file.open(QIODevice::Append) && file.write((knobs.join('\n') + '\n').toUtf8()) > 0;
    }

    void clickInstall() {
        QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 20000);
        QVERIFY2(status().contains("Connected to a Lx-50 with firmware version 2.3.1"), qPrintable(status()));
        if (qEnvironmentVariableIsSet("VELTARO_E2E_TIMELINE"))
            std::fprintf(stderr, "%8lld ms  -- click\n", static_cast<long long>(clock_.elapsed()));
        QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
        QVERIFY(barVisible());
        QCOMPARE(barText(), QString("Upgrading firmware"));
    }

    // The program's own unpacked tool wrote the working copy of the image.
    void downloadedByTheUnpackedTool() {
        QTRY_VERIFY_WITH_TIMEOUT(log_->contains("SM_A: /sig_FwDownloaded"), 120000);
        const QString dir = Files::external_dir.path();
        // Addressed to the judged unit by its serial: the tool refuses any other.
        QVERIFY(log_->contains(QString("Start  \"%1/dfu-util\" (\"-d\", \"0483\", \"-S\", \"3574364C3034\", "
                                       "\"-a\", \"0\", \"-s\", \"0x08000000:leave\", \"-D\", "
                                       "\"%1/firmware.bin\")")
                                   .arg(dir)));
    }

    void endsVerified() {
        QTRY_VERIFY_WITH_TIMEOUT(barText() == "Uploading & verifying" || barText() == done_text, 60000);
        QTRY_COMPARE_WITH_TIMEOUT(barText(), done_text, 60000);
        if (qEnvironmentVariableIsSet("VELTARO_E2E_TIMELINE"))
            std::fprintf(stderr, "%8lld ms  -- done shown\n", static_cast<long long>(clock_.elapsed()));
        QVERIFY(barVisible());
        QCOMPARE(mainWindow->progressBar->value(), mainWindow->progressBar->maximum());
        QVERIFY2(status().contains("with firmware version " + settings.desired_FW_revision),
                 qPrintable(status()));
        QVERIFY(!mainWindow->verificationFailedShown);
        // The unit's flash now starts with the image, byte for byte.
        QFile image(UPGRADE_FIRMWARE_BIN);
        QFile flash(units_.path() + "/units/3574364C3034/flash.bin");
        QVERIFY(image.open(QIODevice::ReadOnly) && flash.open(QIODevice::ReadOnly));
        const QByteArray bytes = image.readAll();
        QCOMPARE(flash.read(bytes.size()), bytes);
    }

private slots:
    void initTestCase() {
        QVERIFY(!scenario_.isEmpty());
        QVERIFY(units_.isValid());
        qputenv("LD_LIBRARY_PATH", EMULATED_UNIT_LIBRARY_DIR);
        qputenv("VELTARO_UNITS_DIR", units_.path().toLocal8Bit());
        qputenv("VELTARO_SIM_FIRMWARE", UPGRADE_FIRMWARE_BIN);
        QVERIFY(prepare());

        log_ = new LogCapture;
        if (qEnvironmentVariableIsSet("VELTARO_E2E_TIMELINE"))
            captured_ = qInstallMessageHandler(timeline);
        clock_.start();
        QVERIFY(GUI_init());
        QVERIFY(mainWindow);
        QVERIFY(log_->contains("Will use real device (i.e. no option 'use_simulator'.)"));
        QCOMPARE(DFU::Command::path, Files::external_dir.path());
    }

    void unitWalksItsRoad() {
        QTRY_VERIFY_WITH_TIMEOUT(log_->contains("Starting sm_A"), 5000);
        if (scenario_ == "outdated" || scenario_ == "no_status_after_leave") {
            clickInstall();
            downloadedByTheUnpackedTool();
            if (scenario_ == "no_status_after_leave")
                QVERIFY(log_->contains("Exit with 74 from"));
            endsVerified();
        } else if (scenario_ == "other_product") {
            QTRY_VERIFY_WITH_TIMEOUT(log_->contains("SM_B: /sig_InvalidProduct"), 20000);
            QVERIFY2(status().contains("Connected to a K7."), qPrintable(status()));
            QVERIFY(!buttonEnabled());
            QVERIFY(!barVisible());
        } else if (scenario_ == "corrupt") {
            // Already at the desired revision, so it is read back at once, and one byte differs.
            QTRY_VERIFY_WITH_TIMEOUT(mainWindow->verificationFailedShown, 30000);
            QVERIFY(log_->contains("Uploaded FW does not match"));
            QVERIFY(buttonEnabled());
            QVERIFY(mainWindow->installButton->isVisible());
            QVERIFY(!barVisible());
            QVERIFY(barText() != done_text);
        } else if (scenario_ == "never_returns") {
            clickInstall();
            downloadedByTheUnpackedTool();
            // The unit left and stays away: the window is back at the no-unit screen, the worker keeps
            // polling, and nothing claims success meanwhile.
            QTRY_VERIFY_WITH_TIMEOUT(!barVisible(), 10000);
            QVERIFY2(status().contains("Note: Once the update is finished"), qPrintable(status()));
            QVERIFY(!QTest::qWaitFor([] { return barVisible() || buttonEnabled() || barText() == done_text; },
                                     5000));
            QVERIFY(!log_->contains("SM_A: /sig_FwUploading"));
            QVERIFY(!log_->contains("SM_B: /sig_FwMatches"));
            QCOMPARE(DFU::make_scan().code, 1);
        } else {
            QFAIL("no road for this scenario");
        }
    }

    void cleanupTestCase() {
        QTimer::singleShot(0, [] { mainWindow->close(); });
        const int result = qApp->exec();
        QCOMPARE(GUI_cleanup(result), 0);
        if (captured_)
            qInstallMessageHandler(captured_);
        delete log_;
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestProgramEmulated test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_program_emulated.moc"
