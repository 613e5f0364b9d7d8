#include "startup.h"

#include "DFU.h"
#include "Files.h"
#include "LogWindow.h"
#include "MainWindow.h"
#include "SM_A.h"
#include "SM_B.h"
#include "Settings.h"
#include "command_line.h"
#include "connections.h"
#include "ending.h"
#include "program_life.h"
#include "simulator.h"
#include "support_fonts.h"
#include "support_misc.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QMessageBox>
#include <QThread>

#include <cstdio>

QPointer<MainWindow> mainWindow;
Settings::Settings settings;

namespace {

const QString window_title = QStringLiteral("Veltaro Firmware Upgrade Tool");

// A start that cannot go on says why on standard error and, where someone can close it, in a message box;
// it leaves nothing behind in the temporary directory.
void refuse_start(const QString& problem) {
    const QString text = window_title + QStringLiteral(" cannot start: ") + problem;
    std::fprintf(stderr, "%s\n", qPrintable(text));
    Files::remove_working_directory();
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        QMessageBox::critical(nullptr, window_title, text);
}

void bring_main_window_to_front() {
    if (!mainWindow || !mainWindow->isVisible())
        return;
    mainWindow->setWindowState((mainWindow->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    mainWindow->raise();
    mainWindow->activateWindow();
}

} // namespace

bool GUI_init() {
    preload_background();
    program_life::handle_termination_signals();
    parse_arguments(QCoreApplication::instance());
    if (!program_life::claim_single_instance(bring_main_window_to_front))
        return false;
    Files::remove_stale_working_directories();
    QString problem;
    // Nothing may run with an empty working directory path: the tool would be looked up in the search
    // path and its files written to "/".
    if (!Files::claim_working_directory(&problem)) {
        refuse_start((Files::external_dir.isValid()
                          ? QStringLiteral("it cannot write in its working directory \"%1\" (%2). ")
                                .arg(Files::external_dir.path(), problem)
                          : QStringLiteral("it cannot create its working directory in \"%1\" (%2). ")
                                .arg(Files::temp_location(), problem)) +
                     QStringLiteral("Set TMPDIR to a directory you can write to."));
        return false;
    }
    support::setup_fonts();

    if (use_log_window) {
        ensure_log_window();
        qInstallMessageHandler(logWindowMessageHandler);
    }

    if (simulator::use) {
        qInfo() << "Will use simulator (i.e. option 'use_simulator).";
        simulator::setup_for_simulated_dfu_util(simulator::normal);
        // The script's scenarios carry our image: hand it the unpacked one, so no build tree is needed.
        if (qEnvironmentVariableIsEmpty("VELTARO_SIM_FIRMWARE"))
            qputenv("VELTARO_SIM_FIRMWARE",
                    QFile::encodeName(Files::external_dir.filePath(Files::desired_FW_fileName_bin)));
    } else {
        qInfo() << "Will use real device (i.e. no option 'use_simulator'.)";
        DFU::Command::path = Files::external_dir.path();
    }
    qInfo() << "Compiled for platform (OS):" << support_misc::compiled_for_platform() << "with 'DEBUG'"
            << (support_misc::compiled_w_DEBUG ? "defined" : "not defined");

    if (!Files::extract_resources(
            {Files::desired_FW_dfu, Files::desired_FW_bin, Files::dfu_util_executable, Files::libusb_library},
            true, &problem)) {
        refuse_start(QStringLiteral("it cannot unpack its files into \"%1\" (%2). "
                                    "Make room there, or set TMPDIR to another directory.")
                         .arg(Files::external_dir.path(), problem));
        return false;
    }
    support_misc::mark_file_executable(DFU::dfu_util::full_path());
    DFU::dfu_util::execution_test();

    const Device::FW_Info desired = DFU::desired_FW_Info();
    qInfo().noquote() << "Desired (embedded)" << desired;

    // Second half: window, worker, machine, wiring.
    Settings::Settings loaded;
    loaded.gui = Settings::make_GUI(QStringLiteral(":resources/settings_GUI.json"));
    loaded.desired_FW_type = desired.product_info.type;
    loaded.desired_FW_revision = desired.revision;
    settings = loaded;

    mainWindow = MainWindow_factory(&settings, nullptr, simulator::use);
    mainWindow->setWindowTitle(window_title);

    const QString dir = Files::external_dir.path() + QStringLiteral("/");
    sm_A = new SM_A(dir + Files::desired_FW_fileName_dfu, dir + Files::desired_FW_fileName_bin,
                    dir + Files::uploaded_FW_fileName_bin, nullptr);
    sm_A->poll_interval_no_device_ms = 500;
    sm_A->poll_interval_device_ms = 1000;
    // The simulated units are not on any bus.
    if (!simulator::use)
        sm_A->presence = std::make_unique<DFU::Presence>();
    sm_A->enable_debug_output();

    sm_B = new SM_B(sm_A, settings.desired_FW_type, settings.desired_FW_revision);
    sm_B->enable_debug_output();

    add_connections(qApp);
    prepare_ending();

    // The worker thread starts only once the machine runs, that is in the event loop.
    QObject::connect(sm_B, &QStateMachine::started, [] {
        qInfo() << "Starting sm_A";
        sm_A->start();
    });
    sm_B->start();
    mainWindow->show();
    return true;
}

int GUI_cleanup(int exec_result) {
    qInfo() << "app.exec() returns: " << exec_result;
    if (sm_B)
        sm_B->stop();
    if (sm_A)
        sm_A->do_stop();
    qInfo() << "Waiting 2 s before deleting objects";
    QThread::sleep(2);
    if (sm_A) {
        delete sm_A;
        sm_A = nullptr;
    }
    if (sm_B) {
        delete sm_B;
        sm_B = nullptr;
    }
    return exec_result;
}
