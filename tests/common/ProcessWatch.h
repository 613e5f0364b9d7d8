#pragma once

// What the processes a test started leave behind. Once the test process is a child subreaper, the orphans
// of its descendants (tool runs whose parent ended first) are adopted by it instead of by init, so they
// stay in view here until they end, and are reaped here.
//
// Only reaps processes that no QProcess of the test owns: call left() and kill_all() when none of the
// test's own QProcess objects is running.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <csignal>
#include <vector>

#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace process_watch {

struct Process {
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t pgrp = 0;
    char state = '?';
};

inline bool become_subreaper() {
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

inline std::vector<Process> all() {
    std::vector<Process> out;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const pid_t pid = pid_t(entry.toInt(&numeric));
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 3 || fields[0].isEmpty())
            continue;
        out.push_back(Process{pid, pid_t(fields[1].toInt()), pid_t(fields[2].toInt()), fields[0].at(0)});
    }
    return out;
}

inline std::vector<Process> descendants(pid_t root = ::getpid()) {
    const std::vector<Process> processes = all();
    std::vector<Process> out;
    std::vector<pid_t> parents{root};
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        for (const Process& p : processes)
            if (p.ppid == parent) {
                out.push_back(p);
                parents.push_back(p.pid);
            }
    }
    return out;
}

// Processes of a process group that still run (a killed orphan may stay a zombie until it is reaped).
inline int running_in_group(pid_t group) {
    int running = 0;
    for (const Process& p : all())
        running += p.pgrp == group && p.state != 'Z' ? 1 : 0;
    return running;
}

inline QString describe(const Process& p) {
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(p.pid));
    QByteArray command = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    command.replace('\0', ' ');
    return QStringLiteral("%1 (%2) %3")
        .arg(p.pid)
        .arg(QLatin1Char(p.state))
        .arg(QString::fromLocal8Bit(command));
}

inline void reap_orphans() {
    for (const Process& p : descendants())
        if (p.ppid == ::getpid() && p.state == 'Z')
            ::waitpid(p.pid, nullptr, WNOHANG);
}

// The descendants that are still there after the ended ones have been reaped, one line each.
inline QStringList left() {
    reap_orphans();
    QStringList out;
    for (const Process& p : descendants())
        out << describe(p);
    return out;
}

// Clean-up after a failed check: nothing may outlive the test that started it.
inline void kill_all() {
    for (int round = 0; round < 50; ++round) {
        const std::vector<Process> rest = descendants();
        if (rest.empty())
            return;
        for (const Process& p : rest)
            ::kill(p.pid, SIGKILL);
        for (const Process& p : rest)
            if (p.ppid == ::getpid())
                ::waitpid(p.pid, nullptr, 0);
    }
}

} // namespace process_watch
