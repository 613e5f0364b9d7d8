#pragma once

// Collects every message logged while it lives (from any thread), so that tests can assert the exact
// log lines, including that nothing was logged.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
public:
    LogCapture() {
        QMutexLocker lock(&mutex());
        previous_ = qInstallMessageHandler(&LogCapture::handler);
        active() = this;
    }
    ~LogCapture() {
        QMutexLocker lock(&mutex());
        active() = nullptr;
        qInstallMessageHandler(previous_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Messages as "<level>: <text>", level one of debug, info, warning, critical, fatal.
    QStringList lines() const {
        QMutexLocker lock(&mutex());
        return lines_;
    }
    QStringList texts() const {
        QStringList out;
        for (const QString& line : lines())
            out << line.section(QStringLiteral(": "), 1);
        return out;
    }
    bool contains(const QString& fragment) const {
        for (const QString& line : lines())
            if (line.contains(fragment))
                return true;
        return false;
    }
    int count(const QString& fragment) const {
        int n = 0;
        for (const QString& line : lines())
            n += line.contains(fragment) ? 1 : 0;
        return n;
    }
    void clear() {
        QMutexLocker lock(&mutex());
        lines_.clear();
    }

private:
    static QMutex& mutex() {
        static QMutex m(QMutex::Recursive);
        return m;
    }
    static LogCapture*& active() {
        static LogCapture* a = nullptr;
        return a;
    }
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
        QMutexLocker lock(&mutex());
        if (!active())
            return;
        static const char* const names[] = {"debug", "warning", "critical", "fatal", "info"};
        active()->lines_ << QString::fromLatin1(names[int(type) < 5 ? int(type) : 0]) + QStringLiteral(": ") + msg;
    }

    QtMessageHandler previous_ = nullptr;
    QStringList lines_;
};
