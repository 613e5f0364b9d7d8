#pragma once

class QApplication;

// Ties the workflow's signals to the screen: status texts, install button, progress bar, the finish
// request and Ctrl+L. The only place that knows both the window and the workflow.
void add_connections(QApplication* app);

// The log window is made when it is first needed: at start with "-l", otherwise at the first Ctrl+L
// (it shows only what was logged while it existed). Makes it with its own Ctrl+L; returns it.
class LogWindow;
LogWindow* ensure_log_window();
