#pragma once

#include <QChar>
#include <QDebug>
#include <QString>

namespace support_misc {

enum Platform : int { Linux = 0, macOS = 1, windows = 2, unknown = 3 };

// True when built with DEBUG defined; only logged.
extern const bool compiled_w_DEBUG;

// Removes a stale regular file; a missing path or a directory is left alone, nothing is reported.
void ensure_file_is_deleted(QString path);
// Adds execute permission for user, group and others; false when the file is missing or unchanged.
bool mark_file_executable(QString path);
Platform compiled_for_platform();
bool compiled_for_platform(Platform platform);
// The content up to its first NUL, as UTF-8. Throws the QString "Couldn't open file: <path>".
QString load_text_file(QString path);
QString maybe_use_file_instead_of_resource(QString path);
QString remove_carriage_returns(QString text, QChar c);
// Diagnostics: logs every entry below ":resources".
void show_resources();

} // namespace support_misc

QDebug operator<<(QDebug debug, support_misc::Platform platform);

// Service builds may upgrade units whose OTP area is blank.
bool have_service_build();
