// How much DFU::run_command adds to starting the tool: N runs of run_command(list) against N runs of the
// same command line started directly (posix_spawn, stdout read through a pipe, waitpid) and through a
// bare QProcess, interleaved.
// Usage: bench_dfu_runner [directory of dfu-util, default /usr/bin] [runs, default 200]

#include "DFU.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

qint64 run_directly(const QByteArray& program) {
    QElapsedTimer t;
    t.start();
    int out[2];
    if (pipe(out) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* const argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("-d"),
                          const_cast<char*>("0483"), const_cast<char*>("-l"), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char buf[4096];
    while (rc == 0 && read(out[0], buf, sizeof buf) > 0) {
    }
    close(out[0]);
    int status = 0;
    if (rc == 0)
        waitpid(pid, &status, 0);
    return t.nsecsElapsed();
}

qint64 run_through_runner() {
    QElapsedTimer t;
    t.start();
    const DFU::Result r = DFU::run_command(DFU::list, {});
    if (r.code != 0)
        std::fprintf(stderr, "run_command failed: %d\n", r.code);
    return t.nsecsElapsed();
}

// QProcess alone, as the runner uses it, to tell Qt's own process start from the runner's additions.
qint64 run_qprocess(const QString& program) {
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(program, QStringList{"-d", "0483", "-l"}, QIODevice::ReadWrite);
    p.waitForFinished(30000);
    p.readAllStandardOutput();
    return t.nsecsElapsed();
}

double median(std::vector<qint64> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2] / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/usr/bin");
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    DFU::Command::path = dir;
    const QByteArray program = (dir + QStringLiteral("/dfu-util")).toLocal8Bit();

    run_directly(program); // warm the page cache for both
    run_through_runner();
    std::vector<qint64> direct, runner, qprocess;
    for (int i = 0; i < runs; ++i) {
        direct.push_back(run_directly(program));
        runner.push_back(run_through_runner());
        qprocess.push_back(run_qprocess(QString::fromLocal8Bit(program)));
    }
    qint64 sum_direct = 0, sum_runner = 0, sum_qprocess = 0;
    for (int i = 0; i < runs; ++i) {
        sum_direct += direct[i];
        sum_runner += runner[i];
        sum_qprocess += qprocess[i];
    }
    std::printf("%d runs of %s -d 0483 -l\n", runs, program.constData());
    std::printf("direct (posix_spawn): total %.1f ms, median %.3f ms\n", sum_direct / 1e6, median(direct));
    std::printf("run_command(list):    total %.1f ms, median %.3f ms\n", sum_runner / 1e6, median(runner));
    std::printf("plain QProcess:       total %.1f ms, median %.3f ms\n", sum_qprocess / 1e6,
                median(qprocess));
    std::printf("ratio run_command / plain QProcess: %.3f\n", double(sum_runner) / double(sum_qprocess));
    std::printf("ratio run_command / direct: %.3f (medians %.3f)\n", double(sum_runner) / double(sum_direct),
                median(runner) / median(direct));
    return 0;
}
