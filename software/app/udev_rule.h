#pragma once

#include <QString>
#include <QStringList>

// The udev rule that gives the user access to a unit in its USB DFU boot mode, and the
// "--install-udev-rule" mode that installs it. The rule's text is packaging/70-veltaro-upgrade.rules,
// embedded as a resource so that the lone executable writes exactly what the package installs.
namespace udev_rule {

// The rule's file name, the same in the package's rules directory and in /etc/udev/rules.d.
extern const QString file_name;

// What a user runs (as root) to install the rule: this executable's absolute path followed by
// " --install-udev-rule", the path quoted for a shell where it needs it.
QString install_command();
// The arguments of that command, for a program that starts it (pkexec) rather than a shell.
QStringList install_arguments();
// pkexec as found on PATH, so that the window can offer the command through it; empty when there is none.
QString pkexec_program();
// `text` quoted for a POSIX shell, unchanged when it needs no quoting.
QString shell_quoted(const QString& text);

// Whether the command line asks for "--install-udev-rule". Looked at before any QApplication exists:
// the mode runs as root, often without a display, and must not open one.
bool requested(int argc, char** argv);
// The whole mode, in place of the window: reads the command line with parse_arguments, writes the rule
// into <root>/etc/udev/rules.d, where root is "/" or $VELTARO_UDEV_ROOT, and with the real root reloads
// udev's rules and triggers the units already connected. Returns the exit status.
int run(int argc, char** argv);

} // namespace udev_rule
