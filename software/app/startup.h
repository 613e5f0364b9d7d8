#pragma once

#include <QPointer>

class MainWindow;
namespace Settings {
struct Settings;
}

// The program-wide objects that start-up fills (the log window is `logWindow` of the ui library; the
// worker and the machine are `sm_A` and `sm_B` of the workflow library).
extern QPointer<MainWindow> mainWindow;
extern Settings::Settings settings;

// The start-up sequence: command line, fonts, log window, tool, working directory, desired firmware,
// then window, worker, machine and wiring. Runs once, before the event loop. False when the program must
// end at once with status 1, having said why: another program of the user runs, or the working directory
// cannot be made or filled.
bool GUI_init();
// Stops and deletes the workflow objects after the event loop; returns exec_result.
int GUI_cleanup(int exec_result);
// Ends the program the way closing the main window does, with `exit_code` as the event loop's result.
// Safe to call before the event loop runs: the request waits for it.
void end_program(int exit_code);
