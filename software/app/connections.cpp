#include "connections.h"

#include "ending.h"

#include "LogWindow.h"
#include "MainWindow.h"
#include "SM_A.h"
#include "SM_B.h"
#include "Settings.h"
#include "startup.h"

#include <QApplication>
#include <QDebug>
#include <QKeySequence>
#include <QShortcut>

namespace {

QString status_text(const char* id) {
    return settings.gui.text(QString::fromLatin1(id));
}

// The unit's product name and firmware revision, from the machine's copy of the record. The window
// escapes them: the revision comes from the unit's flash and may hold anything.
void show_revision_text() {
    if (!mainWindow || !sm_B)
        return;
    const QString product = sm_B->device_info.OTP_info.product_name();
    const QString revision = sm_B->device_info.FW_revision;
    if (revision.isEmpty())
        mainWindow->setStatusText(status_text("status_devRevUnknown"), {product});
    else
        mainWindow->setStatusText(status_text("status_devRev"), {product, revision});
}

} // namespace

void add_connections(QApplication* app) {
    Q_UNUSED(app);
    MainWindow* window = mainWindow.data();
    ProgressBar* bar = window->progressBar;

    // 1-3: the finish keys stop logging to the window, then the machine, then the worker.
    QObject::connect(window, &MainWindow::finished, [] {
        qInstallMessageHandler(nullptr);
        qInfo() << "Msg-handler reset";
    });
    QObject::connect(window, &MainWindow::finished, sm_B, &QStateMachine::stop);
    QObject::connect(window, &MainWindow::finished, &stop_worker);

    // 4-5: the install button follows the machine's verdict.
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, window, &MainWindow::enableDownload);

    // 6-8: status texts.
    QObject::connect(sm_B, &SM_B::sig_DeviceConnected, [] {
        if (mainWindow && sm_B)
            mainWindow->setStatusText(status_text("status_devConn"),
                                      {sm_B->device_info.OTP_info.product_name()});
    });
    QObject::connect(sm_B, &SM_B::sig_DifferingRevision, &show_revision_text);
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, [window, bar] {
        window->setStatusText(status_text("status_noDev"));
        bar->setFormat(QStringLiteral("This text should not be visible!"));
        bar->hide();
    });

    // 9: the click asks the machine; the machine's answer drives the bar.
    QObject::connect(window->installButton, &QAbstractButton::clicked, sm_B, &SM_B::do_download);

    // 10-13: progress.
    QObject::connect(sm_B, &SM_B::sig_DoDownload,
                     [bar] { bar->startAutoProgress(QStringLiteral("Upgrading firmware"), 60.0); });
    QObject::connect(sm_B, &SM_B::sig_UploadingVerifying,
                     [bar] { bar->startAutoProgress(QStringLiteral("Uploading & verifying"), 0.5); });
    QObject::connect(sm_B, &SM_B::sig_FwMatches, [bar] {
        bar->timer->stop();
        bar->setValue(bar->maximum());
        bar->setFormat(QStringLiteral("Done. Disconnect USB cable."));
        show_revision_text();
    });
    QObject::connect(sm_B, &SM_B::sig_FwDiffers, [bar] {
        show_revision_text();
        bar->timer->stop();
        bar->setValue(bar->minimum());
        bar->setFormat(QStringLiteral("FW differs"));
        bar->hide();
        // The failure must not pass unseen: the install button, back in the bar's place and enabled,
        // says so until it is clicked again.
        if (mainWindow)
            mainWindow->showVerificationFailed();
    });

    // 14-15: Ctrl+L from either window.
    const QKeySequence keys(Qt::CTRL | Qt::Key_L);
    auto* on_main = new QShortcut(keys, window, nullptr, nullptr, Qt::WindowShortcut);
    auto* on_log = new QShortcut(keys, logWindow->dialog, nullptr, nullptr, Qt::WindowShortcut);
    const auto toggle = [] {
        if (logWindow)
            logWindow->toggle_visibility(mainWindow.data());
    };
    QObject::connect(on_main, &QShortcut::activated, toggle);
    QObject::connect(on_log, &QShortcut::activated, toggle);
}
