#pragma once

// What the user sees of the program-wide main window, for the whole-program tests.

#include "MainWindow.h"
#include "startup.h"

#include <QLabel>

namespace window_state {

inline QString status() {
    return mainWindow && mainWindow->statusLabel ? mainWindow->statusLabel->text() : QString();
}
inline bool buttonEnabled() {
    return mainWindow->installButton->isEnabled();
}
inline bool barVisible() {
    return mainWindow->progressBar->isVisible();
}
inline QString barText() {
    return mainWindow->progressBar->format();
}
inline int barValue() {
    return mainWindow->progressBar->value();
}
inline QString buttonText() {
    return mainWindow->installButton->text();
}

} // namespace window_state
