#include "startup.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    GUI_init();
    const int result = app.exec();
    return GUI_cleanup(result);
}
