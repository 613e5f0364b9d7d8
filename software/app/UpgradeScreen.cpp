#include "UpgradeScreen.h"

#include "DFU.h"
#include "Device.h"
#include "MainWindow.h"
#include "ProgressBar.h"
#include "SM_A.h"
#include "SM_B.h"
#include "Settings.h"
#include "udev_rule.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QProcess>
#include <QTimer>

// A unit restarts after its upgrade and is listed again within about 2 s. A minute is far beyond any
// restart, a slow hub's or desktop's handling of the new device included, yet short enough that the
// user learns what to do before taking the window for hung.
int unit_back_limit_ms = 60000;

const QString UpgradeScreen::writingCaption = QStringLiteral("Upgrading firmware");
const QString UpgradeScreen::erasingCaption = QStringLiteral("Upgrading firmware: erasing");
const QString UpgradeScreen::writingPhaseCaption = QStringLiteral("Upgrading firmware: writing");
const QString UpgradeScreen::restartingCaption = QStringLiteral("Unit restarting, keep it connected");
const QString UpgradeScreen::notBackCaption = QStringLiteral("The unit did not come back");
const QString UpgradeScreen::failedCaption = QStringLiteral("Upgrade failed");
const QString UpgradeScreen::verifyingCaption = QStringLiteral("Uploading & verifying");
const QString UpgradeScreen::doneCaption = QStringLiteral("Done. Disconnect USB cable.");
const QString UpgradeScreen::tryAgainCaption = QStringLiteral("Upgrade failed. Click to try again");

namespace {

// Share of the bar for erasing; writing fills the rest. Measured with the real tool on the emulated unit
// at the part's own erase and program times (VELTARO_UNIT_TIMING=realistic), shipped 128 KiB image:
// erasing took 1.58 s and writing 1.80 s of the download's 3.39 s.
constexpr int erase_share = 47;

const QString install_rule_link = QStringLiteral("install-udev-rule");

} // namespace

UpgradeScreen::UpgradeScreen(MainWindow* window, SM_A* worker, SM_B* machine,
                             const Settings::Settings* settings, QObject* parent)
    : QObject(parent), window(window), worker(worker), machine(machine), settings(settings),
      backTimer(new QTimer(this)) {
    backTimer->setSingleShot(true);
    connect(backTimer, &QTimer::timeout, this, &UpgradeScreen::notBackExpired);

    connect(machine, &SM_B::sig_InvalidProduct, this, &UpgradeScreen::otherProduct);

    // The worker emits on its own thread: these are queued, in the order it emitted them.
    connect(worker, &SM_A::sig_FwDownloading, this, [this] {
        phase = Phase::writing;
        task = Task::download;
    });
    connect(worker, &SM_A::sig_Progress, this, &UpgradeScreen::progress);
    connect(worker, &SM_A::sig_FwDownloadFailed, this, &UpgradeScreen::downloadFailed);
    connect(worker, &SM_A::sig_FwDownloaded, this, &UpgradeScreen::downloaded);
    connect(worker, &SM_A::sig_FwUploading, this, [this] { task = Task::upload; });
    for (const auto signal :
         {&SM_A::sig_FwUploadedMatches, &SM_A::sig_FwUploadedDiffers, &SM_A::sig_NoDevConn})
        connect(worker, signal, this, [this] { task = Task::none; });
    connect(worker, &SM_A::sig_Diagnosis, this, &UpgradeScreen::diagnosis);

    if (QLabel* status = window->statusLabel) {
        // Its one link starts the rule's installation; nothing opens a browser.
        status->setOpenExternalLinks(false);
        status->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
        connect(status, &QLabel::linkActivated, this, &UpgradeScreen::installRule);
    }
}

bool UpgradeScreen::machineIn(QAbstractState* state) const {
    return machine && machine->configuration().contains(state);
}

void UpgradeScreen::show(const char* id, const QStringList& values) {
    if (window)
        window->setStatusText(settings->gui.text(QString::fromLatin1(id)), values);
}

// The unit's product name and firmware revision, from the machine's copy of the record. The window
// escapes them: the revision comes from the unit's flash and may hold anything.
void UpgradeScreen::showRevisionText() {
    if (!machine)
        return;
    const QString product = machine->device_info.OTP_info.product_name();
    const QString revision = machine->device_info.FW_revision;
    if (revision.isEmpty())
        show("status_devRevUnknown", {product});
    else
        show("status_devRev", {product, revision});
}

void UpgradeScreen::showNoUnitStatus() {
    if (lastDiagnosis == QLatin1String("status_accessDenied")) {
        show(udev_rule::pkexec_program().isEmpty() ? "status_accessDenied" : "status_accessDeniedInstall",
             {udev_rule::install_command()});
    } else if (!lastDiagnosis.isEmpty() && settings->gui.label(lastDiagnosis)) {
        show(qPrintable(lastDiagnosis));
    } else if (phase == Phase::restarting) {
        show(notBack ? "status_notBack" : "status_restarting");
    } else if (phase == Phase::failed) {
        show("status_downloadFailed", {failure});
    } else {
        show("status_noDev");
    }
}

void UpgradeScreen::offerUpgrade() {
    if (!window || !machine)
        return;
    window->enableDownload();
    // A failed verification says so itself, right after (the state is in the configuration already
    // while its entry is announced).
    if (machineIn(machine->B7))
        return;
    // Offered again after a failed download, or the unit came back without the new firmware.
    if (phase == Phase::failed || phase == Phase::judging)
        window->showVerificationFailed(tryAgainCaption);
    if (phase == Phase::judging)
        phase = Phase::idle;
}

void UpgradeScreen::unitConnected() {
    backTimer->stop();
    if (phase == Phase::restarting) {
        qInfo() << "The unit is back after its upgrade";
        phase = Phase::judging;
        notBack = false;
    }
    if (machine)
        show("status_devConn", {machine->device_info.OTP_info.product_name()});
}

void UpgradeScreen::showRevision() {
    if (phase == Phase::failed)
        show("status_downloadFailed", {failure});
    else
        showRevisionText();
}

void UpgradeScreen::noUnit() {
    if (!window)
        return;
    ProgressBar* bar = window->progressBar;
    switch (phase) {
    case Phase::restarting:
        // The unit left to start its new firmware; the upgrade is not over until it is back and checked.
        bar->showProgress(restartingCaption, bar->maximum());
        if (!backTimer->isActive())
            backTimer->start(unit_back_limit_ms);
        break;
    case Phase::failed:
        bar->showProgress(failedCaption, bar->minimum());
        break;
    default:
        phase = Phase::idle;
        bar->setFormat(QStringLiteral("This text should not be visible!"));
        bar->hide();
        break;
    }
    showNoUnitStatus();
}

void UpgradeScreen::downloadRequested() {
    backTimer->stop();
    notBack = false;
    // A new attempt: the last one's failure no longer stands.
    if (phase == Phase::failed)
        showRevisionText();
    failure.clear();
    phase = Phase::requested;
    // Timed until the tool reports its progress (an old tool, a simulation without progress lines).
    window->progressBar->startAutoProgress(writingCaption, 60.0);
}

void UpgradeScreen::verifying() {
    // A tool that has reported its progress will report the read-back's too: a timed fill would run
    // ahead of it and then fall back.
    if (toolReports)
        window->progressBar->showProgress(verifyingCaption, window->progressBar->minimum());
    else
        window->progressBar->startAutoProgress(verifyingCaption, 0.5);
}

void UpgradeScreen::verified() {
    phase = Phase::idle;
    window->progressBar->showProgress(doneCaption, window->progressBar->maximum());
    showRevisionText();
}

void UpgradeScreen::verificationDiffers() {
    showRevisionText();
    ProgressBar* bar = window->progressBar;
    bar->timer->stop();
    bar->setValue(bar->minimum());
    bar->setFormat(QStringLiteral("FW differs"));
    bar->hide();
    // The failure must not pass unseen: the install button, back in the bar's place and enabled, says so
    // until it is clicked again. After a failed download the cause is that download.
    if (phase == Phase::failed) {
        show("status_downloadFailed", {failure});
        window->showVerificationFailed(tryAgainCaption);
    } else {
        window->showVerificationFailed();
        phase = Phase::idle;
    }
}

void UpgradeScreen::otherProduct() {
    phase = Phase::idle;
    window->progressBar->hide();
    if (!machine)
        return;
    QString found = machine->device_info.OTP_info.product_name();
    if (found.isEmpty())
        found = QStringLiteral("product of unknown type");
    Device::ProductInfo desired;
    desired.type = settings->desired_FW_type;
    show("status_otherProduct", {found, desired.product_name_full()});
}

void UpgradeScreen::progress(int tool_phase, int percent) {
    ProgressBar* bar = window ? window->progressBar : nullptr;
    if (!bar)
        return;
    // Any run's percentages (the reads of a unit's information print them too) show that this tool
    // reports them; only those of the download and the read-back move the bar.
    toolReports = true;
    if (task == Task::download && tool_phase == DFU::Progress::erase)
        bar->showProgress(erasingCaption, percent * erase_share / 100);
    else if (task == Task::download && tool_phase == DFU::Progress::download)
        bar->showProgress(writingPhaseCaption, erase_share + percent * (100 - erase_share) / 100);
    else if (task == Task::upload && tool_phase == DFU::Progress::upload)
        bar->showProgress(verifyingCaption, percent);
}

void UpgradeScreen::downloadFailed(const QString& reason) {
    qInfo() << "Upgrade failed:" << reason;
    failure = reason;
    phase = Phase::failed;
}

void UpgradeScreen::downloaded() {
    task = Task::none;
    if (phase != Phase::writing)
        return;
    qInfo() << "The upgrade is written; waiting for the unit to restart";
    phase = Phase::restarting;
}

void UpgradeScreen::diagnosis(const QString& record_id) {
    lastDiagnosis = record_id;
    if (machine && machineIn(machine->B1))
        showNoUnitStatus();
}

void UpgradeScreen::notBackExpired() {
    if (phase != Phase::restarting || !window || !machine || !machine->isRunning() || !machineIn(machine->B1))
        return;
    notBack = true;
    qInfo() << "The unit has not come back within" << unit_back_limit_ms / 1000.0 << "s after its upgrade";
    window->progressBar->showProgress(notBackCaption, window->progressBar->minimum());
    showNoUnitStatus();
}

void UpgradeScreen::installRule(const QString& link) {
    const QString pkexec = udev_rule::pkexec_program();
    if (link != install_rule_link || pkexec.isEmpty())
        return;
    const QStringList arguments = udev_rule::install_arguments();
    qInfo() << "Installing the USB rule:" << pkexec << arguments;
    if (!QProcess::startDetached(pkexec, arguments))
        qWarning() << "Could not start" << pkexec;
}
