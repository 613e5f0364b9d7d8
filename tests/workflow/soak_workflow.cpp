// Soak of the worker and the machine against the simulator script (fast mode, 20 ms pauses): a unit
// comes and goes, is exchanged, and is upgraded every so often, for a given number of polls. At each
// thousandth poll, while the worker pauses between tool runs, it prints this process's resident memory,
// open file descriptors, child processes and zombies; all must stay flat. Not a test: tools/soak.sh.
//   soak_workflow [polls, default 10000]

#include "SM_A.h"
#include "SM_B.h"
#include "simulator.h"

#include "../common/ProcessWatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>

namespace {

struct Sample {
    long rss_kib = -1;
    int fds = 0;
    int children = 0;
    int zombies = 0;
};

Sample sample() {
    Sample s;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                s.rss_kib = line.mid(6).trimmed().split(' ').first().toLong();
    s.fds = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
    for (const process_watch::Process& p : process_watch::descendants()) {
        ++s.children;
        s.zombies += p.state == 'Z' ? 1 : 0;
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int polls = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QTemporaryDir units, work;
    qputenv("VELTARO_UNITS_DIR", units.path().toLocal8Bit());
    qputenv("VELTARO_SIM_FIRMWARE", QByteArray(UPGRADE_FIRMWARE_BIN));
    simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
    simulator::sim_setup_prepared_config(QStringLiteral("no_unit"));

    sm_A = new SM_A(work.filePath(QStringLiteral("firmware.dfu")), QStringLiteral(UPGRADE_FIRMWARE_BIN),
                    work.filePath(QStringLiteral("uploaded_FW.bin")));
    sm_A->poll_interval_no_device_ms = 20;
    sm_A->poll_interval_device_ms = 20;
    sm_A->enable_debug_output();
    const Device::FW_Info desired = Device::make_FW_Info(QStringLiteral(UPGRADE_FIRMWARE_BIN));
    sm_B = new SM_B(sm_A, desired.product_info.type, desired.revision);
    // The user clicks whenever the upgrade is offered.
    QObject::connect(sm_B, &SM_B::sig_UpgradePossible, sm_B, &SM_B::do_download, Qt::QueuedConnection);
    int upgrades = 0, matches = 0;
    QObject::connect(sm_A, &SM_A::sig_FwDownloaded, [&upgrades] { ++upgrades; });
    QObject::connect(sm_B, &SM_B::sig_FwMatches, [&matches] { ++matches; });
    QObject::connect(sm_B, &QStateMachine::started, sm_A, [] { sm_A->start(); });

    // Sampled on the worker thread right before it pauses with no tool running.
    std::atomic<int> scanned{0};
    QObject::connect(
        sm_A, &SM_A::sig_scanning, sm_A, [&scanned] { ++scanned; }, Qt::DirectConnection);
    std::atomic<int> next_report{1000};
    const auto report = [&](const char* when) {
        const Sample s = sample();
        std::fprintf(
            stderr,
            "%-5s polls %6d  upgrades %4d  verified %4d  RSS %6ld KiB  fds %3d  children %d  zombies %d\n",
            when, scanned.load(), upgrades, matches, s.rss_kib, s.fds, s.children, s.zombies);
        std::fflush(stderr);
    };
    QObject::connect(
        sm_A, &SM_A::sig_NoDevConn, sm_A,
        [&] {
            if (scanned >= next_report) {
                report(scanned >= polls ? "end" : next_report == 1000 ? "start" : "");
                next_report += 1000;
                if (scanned >= polls)
                    QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
            }
        },
        Qt::DirectConnection);

    // The bus changes every two seconds: a unit that wants its upgrade, none, two, an up-to-date one, a
    // corrupt one, another product.
    const QStringList cycle{QStringLiteral("outdated"),      QStringLiteral("no_unit"),
                            QStringLiteral("two_units"),     QStringLiteral("current"),
                            QStringLiteral("no_unit"),       QStringLiteral("corrupt"),
                            QStringLiteral("other_product"), QStringLiteral("no_unit")};
    int step = 0;
    QTimer change;
    QObject::connect(&change, &QTimer::timeout, [&] {
        // Let an upgrade that is under way finish before the unit is taken away.
        if (sm_A->is_downloading())
            return;
        simulator::sim_setup_prepared_config(cycle[step++ % cycle.size()]);
    });
    change.start(2000);
    sm_B->start();
    const int result = app.exec();

    change.stop();
    sm_B->stop();
    delete sm_A;
    delete sm_B;
    return result;
}
