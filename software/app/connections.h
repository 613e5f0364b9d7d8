#pragma once

class QApplication;

// Ties the workflow's signals to the screen: status texts, install button, progress bar, the finish
// request and Ctrl+L. The only place that knows both the window and the workflow.
void add_connections(QApplication* app);
