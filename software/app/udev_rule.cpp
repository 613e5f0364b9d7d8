#include "udev_rule.h"

#include "command_line.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace udev_rule {

const QString file_name = QStringLiteral("70-veltaro-upgrade.rules");

namespace {

const char option[] = "--install-udev-rule";

void say(std::FILE* stream, const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
    std::fflush(stream);
}

// udevadm lives in /usr/bin or /bin, but sudo and pkexec may hand us a short PATH.
QString find_udevadm() {
    const QString on_path = QStandardPaths::findExecutable(QStringLiteral("udevadm"));
    if (!on_path.isEmpty())
        return on_path;
    return QStandardPaths::findExecutable(QStringLiteral("udevadm"),
                                          {QStringLiteral("/usr/bin"), QStringLiteral("/bin"),
                                           QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

bool run_udevadm(const QString& udevadm, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(udevadm, arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

int install() {
    const QString other_root = qEnvironmentVariable("VELTARO_UDEV_ROOT");
    const bool real_root = other_root.isEmpty();
    if (real_root && ::geteuid() != 0) {
        say(stderr, QStringLiteral("Installing the udev rule needs root privileges. Run:\n    sudo ") +
                        install_command());
        return 1;
    }

    QFile source(QStringLiteral(":resources/") + file_name);
    if (!source.open(QIODevice::ReadOnly)) {
        say(stderr, QStringLiteral("The udev rule is missing from this program: ") + source.errorString());
        return 1;
    }
    const QByteArray rule = source.readAll();

    const QString directory =
        QDir::cleanPath((real_root ? QStringLiteral("/") : other_root) + QStringLiteral("/etc/udev/rules.d"));
    const QString path = directory + QLatin1Char('/') + file_name;
    if (!QDir().mkpath(directory)) {
        say(stderr, QStringLiteral("Cannot create the directory ") + directory);
        return 1;
    }
    // Written beside and renamed into place, so that udev never reads half a rule.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(rule) != rule.size() || !file.commit()) {
        say(stderr, QStringLiteral("Cannot write ") + path + QStringLiteral(": ") + file.errorString());
        return 1;
    }
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser |
                                    QFile::ReadGroup | QFile::ReadOther);
    say(stdout, QStringLiteral("Wrote the udev rule ") + path);

    if (!real_root)
        return 0; // another root is not the running system's: its udev is none of our business

    // Reloading alone changes nothing for a unit that is already connected: trigger it as if re-plugged.
    const QString udevadm = find_udevadm();
    const bool applied =
        !udevadm.isEmpty() &&
        run_udevadm(udevadm, {QStringLiteral("control"), QStringLiteral("--reload-rules")}) &&
        run_udevadm(udevadm,
                    {QStringLiteral("trigger"), QStringLiteral("--action=add"),
                     QStringLiteral("--subsystem-match=usb"), QStringLiteral("--attr-match=idVendor=0483"),
                     QStringLiteral("--attr-match=idProduct=df11")});
    if (applied)
        say(stdout, QStringLiteral("Reloaded the udev rules: a connected unit can be used now."));
    else
        say(stderr,
            QStringLiteral("Could not reload the udev rules (udevadm): disconnect the unit's USB cable "
                           "and connect it again so that the rule applies."));
    return 0;
}

} // namespace

QString shell_quoted(const QString& text) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (plain.match(text).hasMatch())
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString install_command() {
    return shell_quoted(QCoreApplication::applicationFilePath()) + QLatin1Char(' ') + QLatin1String(option);
}

QStringList install_arguments() {
    return {QCoreApplication::applicationFilePath(), QLatin1String(option)};
}

QString pkexec_program() {
    return QStandardPaths::findExecutable(QStringLiteral("pkexec"));
}

bool requested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        if (std::strcmp(argv[i], option) == 0)
            return true;
    }
    return false;
}

int run(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The start-up's debug lines mean nothing to someone installing the rule.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    parse_arguments(&app);
    if (!install_udev_rule)
        return 1; // not reached: requested() and the parser agree on the option
    return install();
}

} // namespace udev_rule
