#pragma once

class QCoreApplication;

// Set by parse_arguments: whether start-up installs the log window's message handler.
extern bool use_log_window;
// Set by parse_arguments: "--install-udev-rule" asks for the rule installer instead of the window.
extern bool install_udev_rule;

// Reads "-s"/"--use-simulator", "-S"/"--no-use-simulator" (wins over "-s"), "-l"/"--use-log-window" and
// "--install-udev-rule".
// An unknown option ends the program with the parser's message and a failure code.
void parse_arguments(QCoreApplication* app);
