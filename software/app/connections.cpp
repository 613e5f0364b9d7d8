#include "connections.h"

#include "ending.h"

#include "LogWindow.h"
#include "MainWindow.h"
#include "SM_A.h"
#include "SM_B.h"
#include "Settings.h"
#include "UpgradeScreen.h"
#include "startup.h"

#include <QApplication>
#include <QDebug>
#include <QKeySequence>
#include <QShortcut>

namespace {

void toggle_log_window() {
    ensure_log_window()->toggle_visibility(mainWindow.data());
}

} // namespace

LogWindow* ensure_log_window() {
    if (!logWindow) {
        logWindow = new LogWindow(nullptr);
        auto* on_log = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), logWindow->dialog, nullptr, nullptr,
                                     Qt::WindowShortcut);
        QObject::connect(on_log, &QShortcut::activated, toggle_log_window);
    }
    return logWindow.data();
}

void add_connections(QApplication* app) {
    Q_UNUSED(app);
    MainWindow* window = mainWindow.data();

    // 1-3: the finish keys stop logging to the window, then the machine, then the worker.
    QObject::connect(window, &MainWindow::finished, [] {
        qInstallMessageHandler(nullptr);
        qInfo() << "Msg-handler reset";
    });
    QObject::connect(window, &MainWindow::finished, sm_B, &QStateMachine::stop);
    QObject::connect(window, &MainWindow::finished, &stop_worker);

    // What the window shows is decided by one presenter that also follows the worker; the machine's
    // signals reach it here, in the order the reactions always had.
    auto* screen = new UpgradeScreen(window, sm_A, sm_B, &settings, window);

    // 4-5: the install button follows the machine's verdict.
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, window, &MainWindow::disableDownload);
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, screen, &UpgradeScreen::offerUpgrade);

    // 6-8: status texts; during an upgrade the no-unit screen shows the unit restarting instead.
    QObject::connect(sm_B, &SM_B::sig_DeviceConnected, screen, &UpgradeScreen::unitConnected);
    QObject::connect(sm_B, &SM_B::sig_DifferingRevision, screen, &UpgradeScreen::showRevision);
    QObject::connect(sm_B, &SM_B::sig_UpgradeImpossible, screen, &UpgradeScreen::noUnit);

    // 9: the click asks the machine; the machine's answer drives the bar.
    QObject::connect(window->installButton, &QAbstractButton::clicked, sm_B, &SM_B::do_download);

    // 10-13: progress.
    QObject::connect(sm_B, &SM_B::sig_DoDownload, screen, &UpgradeScreen::downloadRequested);
    QObject::connect(sm_B, &SM_B::sig_UploadingVerifying, screen, &UpgradeScreen::verifying);
    QObject::connect(sm_B, &SM_B::sig_FwMatches, screen, &UpgradeScreen::verified);
    QObject::connect(sm_B, &SM_B::sig_FwDiffers, screen, &UpgradeScreen::verificationDiffers);

    // 14-15: Ctrl+L from either window.
    auto* on_main = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), window, nullptr, nullptr, Qt::WindowShortcut);
    QObject::connect(on_main, &QShortcut::activated, toggle_log_window);
}
