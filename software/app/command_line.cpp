#include "command_line.h"

#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>

bool use_log_window = false;
bool install_udev_rule = false;

void parse_arguments(QCoreApplication* app) {
    QCommandLineParser parser;
    const QCommandLineOption use_simulator({"s", "use-simulator"}, "Use simulated device interaction.");
    const QCommandLineOption no_use_simulator({"S", "no-use-simulator"},
                                              "Disable use of simulated device interaction.");
    const QCommandLineOption log_window({"l", "use-log-window"},
                                        "Enable use of log window (open it with Ctrl-l)");
    const QCommandLineOption udev_rule(QStringLiteral("install-udev-rule"),
                                       "Install the udev rule that gives users access to a unit in DFU mode "
                                       "(run as root).");
    parser.addOptions({use_simulator, no_use_simulator, log_window, udev_rule});
    parser.process(*app);

    const bool s = parser.isSet(QStringLiteral("use-simulator"));
    const bool S = parser.isSet(QStringLiteral("no-use-simulator"));
    qDebug().nospace() << "Initial value of 'simulator::use'=" << (simulator::use ? "true" : "false")
                       << ", isSet('-s')=" << (s ? "true" : "false")
                       << ", isSet('-S')=" << (S ? "true" : "false");
    if (s)
        simulator::use = true;
    if (S)
        simulator::use = false;
    if (parser.isSet(QStringLiteral("use-log-window")))
        use_log_window = true;
    if (parser.isSet(udev_rule))
        install_udev_rule = true;
}
