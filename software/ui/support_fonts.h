#pragma once

#include <QString>

// The program's own typeface, carried as resources and made the application's default font.
namespace support {

// Family of the loaded regular face; empty until loaded, and empty if loading failed.
extern QString veltaro_font_name;

// Reads the system's font configuration on a thread of its own, while the application is built; that
// reading is a fifth of the start otherwise. Call it before the QApplication exists; setup_fonts() waits
// for it to end.
void begin_font_configuration();
void setup_fonts();
QString load_veltaro_fonts();
QString load_font(QString path);
void set_default_font(QString family);

} // namespace support
