#include "startup.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (!GUI_init())
        return 1;
    const int result = app.exec();
    return GUI_cleanup(result);
}
