#pragma once

#include <QString>

// The program's own typeface, carried as resources and made the application's default font.
namespace support {

// Family of the loaded regular face; empty until loaded, and empty if loading failed.
extern QString veltaro_font_name;

void setup_fonts();
QString load_veltaro_fonts();
QString load_font(QString path);
void set_default_font(QString family);

} // namespace support
