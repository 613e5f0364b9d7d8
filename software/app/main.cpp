#include "startup.h"
#include "support_fonts.h"
#include "udev_rule.h"

#include <QApplication>

int main(int argc, char** argv) {
    // The rule installer runs as root, usually without a display: decided before a QApplication exists.
    if (udev_rule::requested(argc, argv))
        return udev_rule::run(argc, argv);
    support::begin_font_configuration();
    QGuiApplication::setDesktopFileName(QStringLiteral("com.veltaro.FirmwareUpgrade")); // Wayland app id
    QApplication app(argc, argv);
    if (!GUI_init())
        return 1;
    const int result = app.exec();
    return GUI_cleanup(result);
}
