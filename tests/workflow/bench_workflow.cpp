// Measures the worker and the machine in simulator mode with the program's own intervals (500/1000 ms)
// and the script's realistic timing: CPU time of this process (the script's runs not counted) over a
// span of polling without a unit, resident memory, and how long a command waits before it is taken.
//   bench_workflow [seconds without a unit, default 60] [commands, default 5]

#include "SM_A.h"
#include "SM_B.h"
#include "simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

double cpu_seconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long rss_kib() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

void run_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int idle_s = argc > 1 ? QByteArray(argv[1]).toInt() : 60;
    const int commands = argc > 2 ? QByteArray(argv[2]).toInt() : 5;
    qSetMessagePattern(QStringLiteral("%{if-info}%{message}%{endif}"));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QTemporaryDir units, work;
    qputenv("VELTARO_UNITS_DIR", units.path().toLocal8Bit());
    qputenv("VELTARO_SIM_FIRMWARE", QByteArray(UPGRADE_FIRMWARE_BIN));
    simulator::setup_for_simulated_dfu_util(simulator::normal);
    simulator::sim_setup_prepared_config(QStringLiteral("no_unit"));

    sm_A = new SM_A(work.filePath(QStringLiteral("firmware.dfu")), QStringLiteral(UPGRADE_FIRMWARE_BIN),
                    work.filePath(QStringLiteral("uploaded_FW.bin")));
    sm_A->poll_interval_no_device_ms = 500;
    sm_A->poll_interval_device_ms = 1000;
    sm_A->enable_debug_output();
    const Device::FW_Info desired = Device::make_FW_Info(QStringLiteral(UPGRADE_FIRMWARE_BIN));
    sm_B = new SM_B(sm_A, desired.product_info.type, desired.revision);
    sm_B->enable_debug_output();
    QObject::connect(sm_B, &QStateMachine::started, sm_A, [] { sm_A->start(); });
    int scans = 0;
    QObject::connect(
        sm_A, &SM_A::sig_scanning, sm_A, [&scans] { ++scans; }, Qt::DirectConnection);
    sm_B->start();

    run_for(2000); // start-up settles
    const double cpu0 = cpu_seconds(RUSAGE_SELF);
    const int scans0 = scans;
    QElapsedTimer wall;
    wall.start();
    run_for(idle_s * 1000);
    const double cpu = cpu_seconds(RUSAGE_SELF) - cpu0;
    const double span = double(wall.elapsed()) / 1000.0;
    std::printf("no unit: %.1f s wall, %d listings, own CPU %.3f s (%.2f %%), script CPU so far %.2f s, "
                "RSS %ld KiB\n",
                span, scans - scans0, cpu, 100.0 * cpu / span, cpu_seconds(RUSAGE_CHILDREN), rss_kib());

    // A unit in place, judged up to date (B4) or not (B2); each command is given at a random moment of
    // the worker's idle pass and timed until the worker starts carrying it out.
    simulator::sim_setup_prepared_config(QStringLiteral("current"));
    while (sm_A->device_info_unit == 0)
        run_for(100);
    run_for(3000); // the first verification, asked for by B4
    qint64 worst_taken = 0, total_taken = 0, worst_started = 0, total_started = 0;
    int started = 0;
    bool in_A6 = false;
    QObject::connect(
        sm_A, &SM_A::sig_A6_entered, sm_A, [&in_A6] { in_A6 = true; }, Qt::DirectConnection);
    for (int i = 0; i < commands; ++i) {
        run_for(1500 + int(QRandomGenerator::global()->bounded(1000)));
        in_A6 = false;
        QElapsedTimer given;
        given.start();
        sm_A->set_command(SM_A::upload_and_verify);
        // Taken: the worker has cleared the command word; started: it entered the read-back.
        while (sm_A->get_command() != SM_A::no_command && given.elapsed() < 10000)
            QThread::usleep(500);
        const qint64 taken = given.elapsed();
        while (!in_A6 && given.elapsed() < 10000)
            QThread::usleep(500);
        worst_taken = std::max(worst_taken, taken);
        total_taken += taken;
        worst_started = std::max(worst_started, given.elapsed());
        total_started += given.elapsed();
        started += in_A6 ? 1 : 0;
    }
    std::printf(
        "unit connected: %d commands; taken after mean %lld ms, worst %lld ms; read-back started after "
        "mean %lld ms, worst %lld ms (%d started); RSS %ld KiB\n",
        commands, total_taken / std::max(1, commands), worst_taken, total_started / std::max(1, commands),
        worst_started, started, rss_kib());

    sm_B->stop();
    delete sm_A;
    delete sm_B;
    return 0;
}
