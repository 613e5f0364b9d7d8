#pragma once

class QCoreApplication;

// Set by parse_arguments: whether start-up installs the log window's message handler.
extern bool use_log_window;

// Reads "-s"/"--use-simulator", "-S"/"--no-use-simulator" (wins over "-s") and "-l"/"--use-log-window".
// An unknown option ends the program with the parser's message and a failure code.
void parse_arguments(QCoreApplication* app);
