#include "support_fonts.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QFontDatabase>
#include <QStringList>

namespace support {

QString veltaro_font_name;

QString load_font(QString path) {
    const int id = QFontDatabase::addApplicationFont(path);
    if (id < 0)
        qWarning() << "Unable to load font from " << path;
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    return families.isEmpty() ? QString() : families.first();
}

QString load_veltaro_fonts() {
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        veltaro_font_name = load_font(QStringLiteral(":resources/VeltaroSans-Regular.otf"));
        load_font(QStringLiteral(":resources/VeltaroSans-Bold.otf"));
    }
    return veltaro_font_name;
}

void set_default_font(QString family) {
    if (family.isEmpty())
        return;
    QApplication::setFont(QFont(family, 11));
}

void setup_fonts() {
    veltaro_font_name = load_veltaro_fonts();
    if (!veltaro_font_name.isEmpty()) {
        set_default_font(veltaro_font_name);
        qInfo() << "Load/set default font:" << veltaro_font_name;
    } else {
        qWarning() << "Unable to load/set the Veltaro font as default";
    }
}

} // namespace support
