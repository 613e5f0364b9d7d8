// The decision state machine on its own: a worker that is never started stands in, the test fills its
// record and emits its signals on the main thread.

#include "LogCapture.h"
#include "SM_A.h"
#include "SM_B.h"
#include "support_misc.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

const QString desired_revision = QStringLiteral("3.0.0-rc1");

// The guard trace goes to standard output through printf; catch it at the file descriptor.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file.open();
        saved = ::dup(STDOUT_FILENO);
        ::dup2(file.handle(), STDOUT_FILENO);
    }
    QString finish() {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        file.seek(0);
        return QString::fromUtf8(file.readAll());
    }

private:
    QTemporaryFile file;
    int saved = -1;
};

DFU::DeviceInfo record(bool blank, bool valid, Device::Type type, const QString& revision) {
    DFU::DeviceInfo info;
    info.OTP_info.blank = blank;
    info.valid = valid;
    info.device_type = type;
    info.FW_revision = revision;
    return info;
}

} // namespace

Q_DECLARE_METATYPE(DFU::DeviceInfo)

class tst_SM_B : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void starts_in_B1_with_upgrade_impossible();
    void judges_a_unit_data();
    void judges_a_unit();
    void do_download_moves_only_from_B2_B7_B9_data();
    void do_download_moves_only_from_B2_B7_B9();
    void verification_results_and_lost_unit_data();
    void verification_results_and_lost_unit();
    void B1_entry_resets_the_copy();
    void debug_output();

private:
    QString active() const;
    void reach(const QString& state);
    void judge(const DFU::DeviceInfo& info, quint64 unit = 1);

    std::unique_ptr<SM_A> worker;
    std::unique_ptr<SM_B> machine;
    QStringList signals_seen;
};

void tst_SM_B::init() {
    worker =
        std::make_unique<SM_A>(QStringLiteral("fw.dfu"), QStringLiteral("fw.bin"), QStringLiteral("up.bin"));
    sm_A = worker.get();
    machine = std::make_unique<SM_B>(worker.get(), Device::VOSK, desired_revision);
    signals_seen.clear();
    const auto add = [this](void (SM_B::*signal)(), const char* name) {
        const QString text = QString::fromLatin1(name);
        connect(machine.get(), signal, this, [this, text] { signals_seen << text; });
    };
    add(&SM_B::sig_UpgradeImpossible, "UpgradeImpossible");
    add(&SM_B::sig_UpgradePossible, "UpgradePossible");
    add(&SM_B::sig_DifferingRevision, "DifferingRevision");
    add(&SM_B::sig_DoDownload, "DoDownload");
    add(&SM_B::sig_UploadingVerifying, "UploadingVerifying");
    add(&SM_B::sig_FwMatches, "FwMatches");
    add(&SM_B::sig_FwDiffers, "FwDiffers");
    add(&SM_B::sig_DeviceConnected, "DeviceConnected");
    add(&SM_B::sig_InvalidProduct, "InvalidProduct");
    machine->start();
    QTRY_COMPARE(active(), QStringLiteral("B1"));
}

void tst_SM_B::cleanup() {
    machine.reset();
    worker.reset();
    sm_A = nullptr;
}

QString tst_SM_B::active() const {
    const auto states = machine->configuration();
    return states.size() == 1 ? (*states.begin())->objectName().left(2) : QString();
}

void tst_SM_B::judge(const DFU::DeviceInfo& info, quint64 unit) {
    worker->device_info = info;
    worker->device_info_unit = unit;
    emit worker->sig_DevConn();
}

// Takes the machine from B1 along the shortest path to `state`.
void tst_SM_B::reach(const QString& state) {
    const DFU::DeviceInfo needs_upgrade = record(false, true, Device::VOSK, QStringLiteral("2.3.1"));
    const DFU::DeviceInfo up_to_date = record(false, true, Device::VOSK, desired_revision);
    if (state == QLatin1String("B2") || state == QLatin1String("B3"))
        judge(needs_upgrade);
    if (state == QLatin1String("B3"))
        machine->do_download();
    if (state == QLatin1String("B4") || state == QLatin1String("B6") || state == QLatin1String("B7"))
        judge(up_to_date);
    if (state == QLatin1String("B6"))
        emit worker->sig_FwUploadedMatches();
    if (state == QLatin1String("B7"))
        emit worker->sig_FwUploadedDiffers();
    if (state == QLatin1String("B8"))
        judge(record(false, true, Device::HURM, QStringLiteral("1.2.0")));
    if (state == QLatin1String("B9"))
        judge(record(true, true, Device::invalid, QString()));
    QTRY_COMPARE(active(), state);
}

void tst_SM_B::starts_in_B1_with_upgrade_impossible() {
    QCOMPARE(signals_seen, QStringList{QStringLiteral("UpgradeImpossible")});
    QVERIFY(!machine->device_info.valid);
}

void tst_SM_B::judges_a_unit_data() {
    QTest::addColumn<DFU::DeviceInfo>("info");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("emitted");
    QTest::addColumn<int>("guard_lines");

    const QStringList blank_signals{QStringLiteral("DeviceConnected"),
                                    have_service_build() ? QStringLiteral("UpgradePossible")
                                                         : QStringLiteral("UpgradeImpossible"),
                                    QStringLiteral("DifferingRevision")};
    const QStringList offered{QStringLiteral("DeviceConnected"), QStringLiteral("UpgradePossible"),
                              QStringLiteral("DifferingRevision")};
    // A blank OTP wins over everything else, even a record of the desired type and revision.
    QTest::newRow("blank OTP") << record(true, true, Device::invalid, QString()) << "B9" << blank_signals
                               << 0;
    QTest::newRow("blank OTP, desired revision")
        << record(true, true, Device::VOSK, desired_revision) << "B9" << blank_signals << 0;
    QTest::newRow("other product") << record(false, true, Device::HURM, QStringLiteral("1.2.0")) << "B8"
                                   << QStringList{QStringLiteral("DeviceConnected"),
                                                  QStringLiteral("InvalidProduct")}
                                   << 1;
    QTest::newRow("unknown type") << record(false, true, Device::invalid, QString()) << "B8"
                                  << QStringList{QStringLiteral("DeviceConnected"),
                                                 QStringLiteral("InvalidProduct")}
                                  << 1;
    QTest::newRow("other revision") << record(false, true, Device::VOSK, QStringLiteral("2.3.1")) << "B2"
                                    << offered << 2;
    QTest::newRow("empty revision") << record(false, true, Device::VOSK, QString()) << "B2" << offered << 2;
    QTest::newRow("revision differs in case")
        << record(false, true, Device::VOSK, QStringLiteral("3.0.0-RC1")) << "B2" << offered << 2;
    QTest::newRow("desired revision")
        << record(false, true, Device::VOSK, desired_revision) << "B4"
        << QStringList{QStringLiteral("DeviceConnected"), QStringLiteral("UploadingVerifying")} << 3;
    QTest::newRow("invalid record") << record(false, false, Device::VOSK, desired_revision) << "B1"
                                    << QStringList() << 2;
}

void tst_SM_B::judges_a_unit() {
    QFETCH(DFU::DeviceInfo, info);
    QFETCH(QString, state);
    QFETCH(QStringList, emitted);
    QFETCH(int, guard_lines);

    signals_seen.clear();
    StdoutCapture out;
    judge(info, 42);
    const QString trace = out.finish();

    QTRY_COMPARE(active(), state);
    QCOMPARE(signals_seen, emitted);
    QCOMPARE(trace.count(QStringLiteral("device_has_valid_type(")), guard_lines);
    if (guard_lines > 0)
        QVERIFY(trace.startsWith(QStringLiteral("device_has_valid_type(4): valid %1, device_type: %2\n")
                                     .arg(int(info.valid))
                                     .arg(int(info.device_type))));
    // Leaving B1 takes the copy; staying leaves the default record.
    QCOMPARE(machine->device_info.valid, state != QLatin1String("B1") && info.valid);
    QCOMPARE(machine->device_info.FW_revision, state != QLatin1String("B1") ? info.FW_revision : QString());
    QCOMPARE(machine->device_unit, state != QLatin1String("B1") ? quint64(42) : quint64(0));
    QCOMPARE(worker->get_command(),
             state == QLatin1String("B4") ? SM_A::upload_and_verify : SM_A::no_command);
}

void tst_SM_B::do_download_moves_only_from_B2_B7_B9_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    for (const char* state : {"B1", "B3", "B4", "B6", "B8"})
        QTest::newRow(state) << state << state;
    for (const char* state : {"B2", "B7", "B9"})
        QTest::newRow(state) << state << "B3";
}

void tst_SM_B::do_download_moves_only_from_B2_B7_B9() {
    QFETCH(QString, from);
    QFETCH(QString, to);
    reach(from);
    worker->set_command(SM_A::no_command, 0);
    signals_seen.clear();

    machine->do_download();
    QTRY_COMPARE(active(), to);
    // The click is always reported, whether the machine follows it or not.
    QCOMPARE(signals_seen, QStringList{QStringLiteral("DoDownload")});
    QCOMPARE(worker->get_command(), to != from ? SM_A::download : SM_A::no_command);
}

void tst_SM_B::verification_results_and_lost_unit_data() {
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("emitted");
    QTest::newRow("matches") << "B4"
                             << "FwUploadedMatches"
                             << "B6" << QStringList{QStringLiteral("FwMatches")};
    QTest::newRow("differs") << "B4"
                             << "FwUploadedDiffers"
                             << "B7"
                             << QStringList{QStringLiteral("UpgradePossible"), QStringLiteral("FwDiffers")};
    // The unit is gone before its verdict: back to B1, never to B6 or B7.
    QTest::newRow("lost in B4") << "B4"
                                << "NoDevConn"
                                << "B1" << QStringList{QStringLiteral("UpgradeImpossible")};
    QTest::newRow("result in B1") << "B1"
                                  << "FwUploadedMatches"
                                  << "B1" << QStringList();
    QTest::newRow("result in B2") << "B2"
                                  << "FwUploadedDiffers"
                                  << "B2" << QStringList();
    for (const char* state : {"B2", "B3", "B6", "B7", "B8", "B9"})
        QTest::newRow(qPrintable(QStringLiteral("lost in %1").arg(QString::fromLatin1(state))))
            << state << "NoDevConn"
            << "B1" << QStringList{QStringLiteral("UpgradeImpossible")};
}

void tst_SM_B::verification_results_and_lost_unit() {
    QFETCH(QString, from);
    QFETCH(QString, signal);
    QFETCH(QString, to);
    QFETCH(QStringList, emitted);
    reach(from);
    signals_seen.clear();

    if (signal == QLatin1String("FwUploadedMatches"))
        emit worker->sig_FwUploadedMatches();
    else if (signal == QLatin1String("FwUploadedDiffers"))
        emit worker->sig_FwUploadedDiffers();
    else
        emit worker->sig_NoDevConn();
    QTRY_COMPARE(active(), to);
    QCOMPARE(signals_seen, emitted);

    // A late verdict after the unit was lost moves nothing.
    if (from == QLatin1String("B4") && to == QLatin1String("B1")) {
        emit worker->sig_FwUploadedMatches();
        emit worker->sig_FwUploadedDiffers();
        QCoreApplication::processEvents();
        QCOMPARE(active(), QStringLiteral("B1"));
        QCOMPARE(signals_seen, emitted);
    }
}

void tst_SM_B::B1_entry_resets_the_copy() {
    reach(QStringLiteral("B2"));
    QCOMPARE(machine->device_info.FW_revision, QStringLiteral("2.3.1"));
    // Reactions to sig_UpgradeImpossible still see the unit; anything after B1's entry sees none.
    QString seen_in_reaction;
    connect(machine.get(), &SM_B::sig_UpgradeImpossible, this,
            [&] { seen_in_reaction = machine->device_info.FW_revision; });
    emit worker->sig_NoDevConn();
    QTRY_COMPARE(active(), QStringLiteral("B1"));
    QCOMPARE(seen_in_reaction, QStringLiteral("2.3.1"));
    QVERIFY(!machine->device_info.valid);
    QVERIFY(machine->device_info.FW_revision.isEmpty());
    QCOMPARE(machine->device_unit, quint64(0));
}

void tst_SM_B::debug_output() {
    LogCapture log;
    machine->enable_debug_output();
    judge(record(false, true, Device::VOSK, QStringLiteral("2.3.1")));
    QTRY_COMPARE(active(), QStringLiteral("B2"));
    machine->do_download();
    emit worker->sig_NoDevConn();
    judge(record(true, true, Device::invalid, QString()));
    QTRY_COMPARE(active(), QStringLiteral("B9"));

    const QString b9_signal =
        have_service_build() ? QStringLiteral("UpgradePossible") : QStringLiteral("UpgradeImpossible");
    const QStringList expected{
        QStringLiteral("info: SM_B: Add connections to show emitted signals"),
        QStringLiteral(
            "info: Device connected with:\n DeviceInfo:\n\tDevice type:\t4\n\tFW_revision:\t2.3.1\n"),
        QStringLiteral("debug: \"SM_B: /sig_DeviceConnected\""),
        QStringLiteral("debug: \"SM_B: /sig_UpgradePossible\""),
        QStringLiteral("debug: \"SM_B: /sig_DifferingRevision\""),
        QStringLiteral("debug: \"SM_B: entered B2: Conn. to (DFU-SE) dev. with diff. FW rev.\""),
        QStringLiteral("debug: \"SM_B: /sig_DoDownload\""),
        QStringLiteral("debug: \"SM_B: entered B3: Upgrading FW\""),
        QStringLiteral("debug: \"SM_B: /sig_UpgradeImpossible\""),
        QStringLiteral("debug: \"SM_B: entered B1: No (DFU-SE) dev. conn.\""),
        QStringLiteral("info: Device connected with:\n DeviceInfo:\n\tDevice type:\t0\n\tFW_revision:\t\n"),
        QStringLiteral("debug: \"SM_B: /sig_DeviceConnected\""),
        QStringLiteral("debug: \"SM_B: /sig_%1\"").arg(b9_signal),
        QStringLiteral("debug: \"SM_B: /sig_DifferingRevision\""),
    };
    QCOMPARE(log.lines(), expected);
}

QTEST_GUILESS_MAIN(tst_SM_B)
#include "tst_sm_b.moc"
