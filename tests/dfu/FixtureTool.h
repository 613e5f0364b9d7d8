#pragma once

// Points the DFU runner at tests/fixtures/dfu-util, a script that stands in for the tool, and chooses
// its behaviour through the environment the runner passes on. Restores the table, the path and the
// environment when it goes out of scope.

#include "DFU.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

class FixtureTool {
public:
    FixtureTool() : saved_commands_(DFU::commands), saved_path_(DFU::Command::path) {
        DFU::Command::path = QStringLiteral(UPGRADE_FIXTURES_DIR);
        clear_environment();
        set("FIXTURE_ARGS_FILE", args_file());
    }
    ~FixtureTool() {
        clear_environment();
        DFU::commands = saved_commands_;
        DFU::Command::path = saved_path_;
    }
    FixtureTool(const FixtureTool&) = delete;
    FixtureTool& operator=(const FixtureTool&) = delete;

    static QString directory() { return QStringLiteral(UPGRADE_FIXTURES_DIR); }
    static QString program() { return directory() + QStringLiteral("/dfu-util"); }

    void set(const char* name, const QString& value) { qputenv(name, value.toUtf8()); }
    void set(const char* name, int value) { set(name, QString::number(value)); }

    // What the tool prints on standard output.
    void print(const QByteArray& bytes) {
        set("FIXTURE_STDOUT", write_file(QStringLiteral("stdout"), bytes));
    }
    void print_error(const QByteArray& bytes) {
        set("FIXTURE_STDERR", write_file(QStringLiteral("stderr"), bytes));
    }
    // The unit's memories that "-U" reads from.
    void otp(const QByteArray& bytes) { set("FIXTURE_OTP", write_file(QStringLiteral("otp"), bytes)); }
    void flash(const QString& path) { set("FIXTURE_FLASH", path); }

    QString file(const QString& name) const { return dir_.filePath(name); }
    QByteArray read_file(const QString& name) const {
        QFile f(file(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString write_file(const QString& name, const QByteArray& bytes) const {
        QFile f(file(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qFatal("cannot write fixture file");
        return f.fileName();
    }

    // One entry per run of the tool: the program as it was started, then its arguments.
    QList<QStringList> runs() const {
        QList<QStringList> out;
        QFile f(args_file());
        if (!f.open(QIODevice::ReadOnly))
            return out;
        QStringList current;
        for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
            if (line == QLatin1String("--end--")) {
                out << current;
                current.clear();
            } else if (!line.isEmpty() || !current.isEmpty()) {
                current << line;
            }
        }
        return out;
    }

private:
    QString args_file() const { return dir_.filePath(QStringLiteral("args")); }
    static void clear_environment() {
        for (const char* name :
             {"FIXTURE_ARGS_FILE", "FIXTURE_STDOUT", "FIXTURE_STDERR", "FIXTURE_PID_FILE", "FIXTURE_SLEEP", "FIXTURE_LATE_TEXT", "FIXTURE_SIGNAL",
              "FIXTURE_OTP", "FIXTURE_FLASH", "FIXTURE_NO_WRITE", "FIXTURE_FLASH_EXIT", "FIXTURE_EXIT"})
            qunsetenv(name);
    }

    QTemporaryDir dir_;
    std::map<DFU::CmdID, DFU::Command> saved_commands_;
    QString saved_path_;
};
