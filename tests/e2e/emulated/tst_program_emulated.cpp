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
#include "UpgradeScreen.h"
#include "startup.h"

#include "../../common/LogCapture.h"
#include "../../common/WindowState.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

const QString done_text = QStringLiteral("Done. Disconnect USB cable.");
const QString serial = QStringLiteral("3574364C3034");

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
    QTemporaryDir sysfs_;
    QProcess bus_;
    QString scenario_ = QString::fromLocal8Bit(qgetenv("VELTARO_E2E_SCENARIO"));
    LogCapture* log_ = nullptr;

    // The simulator's layout for the scenario, plus the unit's knobs for the field's failures.
    bool prepare() {
        QString layout = scenario_;
        QStringList knobs;
        if (scenario_ == "outdated") {
            knobs << "reappear_ms=300";
        } else if (scenario_ == "realistic") {
            // The part's own erase and program times, and its usual absence after leaving DFU mode.
            layout = "outdated";
            qputenv("VELTARO_UNIT_TIMING", "realistic");
        } else if (scenario_ == "download_fails") {
            layout = "outdated";
            knobs << "reappear_ms=300"
                  << "download_fails=1";
        } else if (scenario_ == "access_denied") {
            layout = "outdated";
            knobs << "access_denied=1";
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
        return knobs.isEmpty() || writeKnobs(knobs, QIODevice::Append);
    }

    QString unitFile(const QString& name) const { return units_.path() + "/units/" + serial + "/" + name; }
    bool writeKnobs(const QStringList& knobs, QIODevice::OpenMode mode = QIODevice::Truncate) {
        QFile file(unitFile("knobs"));
        return file.open(QIODevice::WriteOnly | mode) && file.write((knobs.join('\n') + '\n').toUtf8()) > 0;
    }

    // Every value the bar took, with its caption at that moment.
    QVector<std::pair<int, QString>> bar_;
    void recordBar() {
        connect(mainWindow->progressBar, &QProgressBar::valueChanged, this, [this](int value) {
            bar_.append({value, barText()});
        });
    }
    QVector<int> barValuesUnder(const QString& caption) const {
        QVector<int> values;
        for (const auto& [value, text] : bar_)
            if (text == caption)
                values << value;
        return values;
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
        // The units on a fake USB bus, as sysfs shows them: the program runs the tool only while one is
        // there, and wakes when one arrives.
        QVERIFY(sysfs_.isValid());
        QProcess once;
        once.start(EMULATED_BUS_PROGRAM, {"--once", units_.path(), sysfs_.path()});
        QVERIFY(once.waitForFinished(10000) && once.exitCode() == 0);
        bus_.start(EMULATED_BUS_PROGRAM, {units_.path(), sysfs_.path()});
        QVERIFY(bus_.waitForStarted());
        qputenv("VELTARO_SYSFS_ROOT", QFile::encodeName(sysfs_.path()));
        if (scenario_ == "access_denied") {
            // A pkexec that notes how it was asked to run.
            QVERIFY(QDir(units_.path()).mkpath("bin"));
            QFile pkexec(units_.path() + "/bin/pkexec");
            QVERIFY(pkexec.open(QIODevice::WriteOnly));
            pkexec.write("#!/bin/sh\necho \"$@\" > \"$0.args\"\n");
            pkexec.close();
            pkexec.setPermissions(pkexec.permissions() | QFile::ExeOwner);
            qputenv("PATH", QFile::encodeName(units_.path() + "/bin:") + qgetenv("PATH"));
        }
        if (scenario_ == "never_returns")
            unit_back_limit_ms = 3000;

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
            // The unit did not confirm the leave request, but the image was written: no failure shown.
            QVERIFY(!log_->contains("Upgrade failed"));
            QVERIFY(!status().contains("could not be written"));
        } else if (scenario_ == "realistic") {
            recordBar();
            clickInstall();
            // While the unit is away the window says it restarts, with the bar still there.
            QTRY_COMPARE_WITH_TIMEOUT(barText(), UpgradeScreen::restartingCaption, 60000);
            QVERIFY2(status().contains("the unit is restarting. Do not disconnect it"), qPrintable(status()));
            QVERIFY(barVisible());
            QCOMPARE(barValue(), mainWindow->progressBar->maximum());
            QVERIFY(!buttonEnabled());
            // The bar followed the tool: erasing in the first part, writing up to the end, never back.
            const QVector<int> erasing = barValuesUnder(UpgradeScreen::erasingCaption);
            const QVector<int> writing = barValuesUnder(UpgradeScreen::writingPhaseCaption);
            QVERIFY2(
                erasing.size() >= 5 && writing.size() >= 5,
                qPrintable(QString("%1 erase, %2 write values").arg(erasing.size()).arg(writing.size())));
            QVERIFY(std::is_sorted(erasing.begin(), erasing.end()) && erasing.last() <= writing.first());
            QVERIFY(std::is_sorted(writing.begin(), writing.end()));
            QCOMPARE(writing.last(), mainWindow->progressBar->maximum());
            // Once the tool reported, the clock no longer moved the bar.
            int first_reported = 0;
            while (bar_[first_reported].second == UpgradeScreen::writingCaption)
                ++first_reported;
            QVERIFY(barValuesUnder(UpgradeScreen::writingCaption).size() == first_reported);
            endsVerified();
            QCOMPARE(log_->count("The unit is back after its upgrade"), 1);
            // The read-back moved the bar the same way, up to its end.
            const QVector<int> verifying = barValuesUnder(UpgradeScreen::verifyingCaption);
            QVERIFY2(verifying.size() >= 5, qPrintable(QString::number(verifying.size())));
            QVERIFY(std::is_sorted(verifying.begin(), verifying.end()));
            QCOMPARE(verifying.last(), mainWindow->progressBar->maximum());
        } else if (scenario_ == "download_fails") {
            clickInstall();
            downloadedByTheUnpackedTool();
            // Failed, with the tool's reason, and the bar says so.
            QTRY_VERIFY_WITH_TIMEOUT(status().contains("The upgrade could not be written"), 10000);
            const QString reason = "Failed to write whole chunk: -1 of 2048 bytes";
            QVERIFY2(status().contains(reason), qPrintable(status()));
            QCOMPARE(barText(), UpgradeScreen::failedCaption);
            QVERIFY(barVisible());
            // The unit is judged again and the upgrade offered, the failure still in sight.
            QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 30000);
            QCOMPARE(buttonText(), UpgradeScreen::tryAgainCaption);
            QVERIFY(mainWindow->installButton->isVisible() && !barVisible());
            QVERIFY2(status().contains(reason), qPrintable(status()));
            QCOMPARE(log_->count("Upgrade failed:"), 1);
            // Without the fault, the next click upgrades the unit.
            QVERIFY(writeKnobs({"reappear_ms=300"}));
            QTest::mouseClick(mainWindow->installButton, Qt::LeftButton);
            QCOMPARE(barText(), UpgradeScreen::writingCaption);
            QCOMPARE(buttonText(), QString("5. Click to start upgrade"));
            QVERIFY2(!status().contains(reason), qPrintable(status()));
            endsVerified();
        } else if (scenario_ == "access_denied") {
            // Within a poll the window says why the unit cannot be used, and how to fix it.
            QTRY_VERIFY_WITH_TIMEOUT(status().contains("this user may not open it"), 5000);
            const QString command = QCoreApplication::applicationFilePath() + " --install-udev-rule";
            QVERIFY2(status().contains("sudo " + command), qPrintable(status()));
            QVERIFY(status().contains("<a href=\"install-udev-rule\">"));
            QVERIFY(!buttonEnabled());
            // The link starts the installer through pkexec.
            emit mainWindow->statusLabel->linkActivated("install-udev-rule");
            QFile args(units_.path() + "/bin/pkexec.args");
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(args).size() > 0, 5000);
            QVERIFY(args.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromLocal8Bit(args.readAll()).trimmed(), command);
            // Said once, not on every poll.
            QCOMPARE(log_->count("\"status_accessDenied\""), 1);
            // Access granted: the unit is read and offered without restarting the program.
            QVERIFY(writeKnobs({"reappear_ms=300"}));
            QTRY_VERIFY_WITH_TIMEOUT(buttonEnabled(), 20000);
            QVERIFY2(status().contains("Connected to a Lx-50 with firmware version 2.3.1"),
                     qPrintable(status()));
        } else if (scenario_ == "other_product") {
            QTRY_VERIFY_WITH_TIMEOUT(log_->contains("SM_B: /sig_InvalidProduct"), 20000);
            QVERIFY2(status().contains("Connected to a K7."), qPrintable(status()));
            QVERIFY(status().contains("This tool upgrades only the Veltaro Lx-50"));
            QVERIFY(!buttonEnabled());
            QVERIFY(!barVisible());
        } else if (scenario_ == "corrupt") {
            // Already at the desired revision, so it is read back at once, and one byte differs.
            QTRY_VERIFY_WITH_TIMEOUT(mainWindow->verificationFailedShown, 30000);
            QVERIFY(log_->contains("Uploaded FW does not match"));
            QVERIFY(buttonEnabled());
            QVERIFY(mainWindow->installButton->isVisible());
            QCOMPARE(buttonText(), MainWindow::verificationFailedCaption);
            QVERIFY(!barVisible());
            QVERIFY(barText() != done_text);
        } else if (scenario_ == "never_returns") {
            clickInstall();
            downloadedByTheUnpackedTool();
            // The unit left and stays away: the window says it restarts, then, past the limit, that it
            // did not come back and what to do. The worker keeps polling, nothing claims success.
            QTRY_VERIFY_WITH_TIMEOUT(status().contains("the unit is restarting"), 10000);
            QVERIFY(barVisible());
            QCOMPARE(barText(), UpgradeScreen::restartingCaption);
            QTRY_VERIFY_WITH_TIMEOUT(status().contains("has not come back after its upgrade"), 10000);
            QVERIFY(status().contains("holding<br>\nthe head button"));
            QVERIFY(barVisible());
            QCOMPARE(barText(), UpgradeScreen::notBackCaption);
            QVERIFY(!QTest::qWaitFor([] { return buttonEnabled() || barText() == done_text; }, 3000));
            QCOMPARE(log_->count("has not come back within"), 1);
            QVERIFY(!log_->contains("SM_A: /sig_FwUploading"));
            QVERIFY(!log_->contains("SM_B: /sig_FwMatches"));
            QCOMPARE(DFU::make_scan().code, 1);
            // Back after all (power reconnected in DFU mode): read, checked and done as usual.
            QVERIFY(QFile::remove(unitFile("absent_until")));
            endsVerified();
        } else {
            QFAIL("no road for this scenario");
        }
    }

    void cleanupTestCase() {
        QTimer::singleShot(0, [] { mainWindow->close(); });
        const int result = qApp->exec();
        QCOMPARE(GUI_cleanup(result), 0);
        bus_.terminate();
        QVERIFY(bus_.waitForFinished(5000));
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
