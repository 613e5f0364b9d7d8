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
#include "simulator.h"
#include "support_fonts.h"
#include "support_misc.h"

#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QThread>

QPointer<MainWindow> mainWindow;
Settings::Settings settings;

void GUI_init() {
    parse_arguments(QCoreApplication::instance());
    support::setup_fonts();

    logWindow = new LogWindow(nullptr);
    if (use_log_window)
        qInstallMessageHandler(logWindowMessageHandler);

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

    Files::extract_resources(
        {Files::desired_FW_dfu, Files::desired_FW_bin, Files::dfu_util_executable, Files::libusb_library},
        true);
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
    mainWindow->setWindowTitle(QStringLiteral("Veltaro Firmware Upgrade Tool"));

    const QString dir = Files::external_dir.path() + QStringLiteral("/");
    sm_A = new SM_A(dir + Files::desired_FW_fileName_dfu, dir + Files::desired_FW_fileName_bin,
                    dir + Files::uploaded_FW_fileName_bin, nullptr);
    sm_A->poll_interval_no_device_ms = 500;
    sm_A->poll_interval_device_ms = 1000;
    sm_A->enable_debug_output();

    sm_B = new SM_B(sm_A, settings.desired_FW_type, settings.desired_FW_revision);
    sm_B->enable_debug_output();

    add_connections(qApp);

    // The worker thread starts only once the machine runs, that is in the event loop.
    QObject::connect(sm_B, &QStateMachine::started, [] {
        qInfo() << "Starting sm_A";
        sm_A->start();
    });
    sm_B->start();
    mainWindow->show();
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

void end_program(int exit_code) {
    QMetaObject::invokeMethod(
        qApp, [exit_code] { QCoreApplication::exit(exit_code); }, Qt::QueuedConnection);
}
