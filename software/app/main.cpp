#include "startup.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    GUI_init();
    return 0;
}
