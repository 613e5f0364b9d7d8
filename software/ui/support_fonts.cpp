#include "support_fonts.h"

#include <QApplication>
#include <QDebug>
#include <QFont>
#include <QFontDatabase>
#include <QResource>
#include <QStringList>

#include <fontconfig/fontconfig.h>

#include <future>

namespace support {

QString veltaro_font_name;

namespace {
// An async future waits for its task when destroyed: also where the program ends before its fonts are set.
std::future<void> font_configuration;
} // namespace

void begin_font_configuration() {
    // The configuration is built once per process and published atomically; the font database of the
    // main thread takes it from there.
    if (!font_configuration.valid())
        font_configuration = std::async(std::launch::async, [] { FcInit(); });
}

QString load_font(QString path) {
    // A face stored uncompressed in the resources is handed over where it lies, without a copy now and
    // without one each time it is opened for drawing.
    const QResource resource(path);
    const int id =
        resource.isValid() && resource.data() && resource.compressionAlgorithm() == QResource::NoCompression
            ? QFontDatabase::addApplicationFontFromData(QByteArray::fromRawData(
                  reinterpret_cast<const char*>(resource.data()), int(resource.size())))
            : QFontDatabase::addApplicationFont(path);
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
    if (font_configuration.valid())
        font_configuration.get();
    veltaro_font_name = load_veltaro_fonts();
    if (!veltaro_font_name.isEmpty()) {
        set_default_font(veltaro_font_name);
        qInfo() << "Load/set default font:" << veltaro_font_name;
    } else {
        qWarning() << "Unable to load/set the Veltaro font as default";
    }
}

} // namespace support
