// The device worker against the simulator script: pacing, reads, commands and stopping. The first test
// must stay first: the pause before the very first scan is skipped once per process.

#include "LogCapture.h"
#include "WorkflowFixture.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include <unistd.h>

namespace {
// Where the simulator keeps its units when nobody names a directory.
QString default_state_dir() {
    return QDir::tempPath() + QStringLiteral("/veltaro-units-") + QString::number(::getuid());
}
} // namespace

class tst_SM_A : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void first_scan_without_pause();
    void debug_output_logs_first_of_polling_run();
    void unit_is_read_once();
    void two_units_count_as_none();
    void exchanged_unit_is_read_at_once();
    void serial_forgotten_after_download();
    void verify_reports_result();
    void command_ends_idle_pause();
    void stop_ends_worker_in_bounded_time_data();
    void stop_ends_worker_in_bounded_time();
    void stop_ends_a_running_read();
    void command_only_for_its_unit_data();
    void command_only_for_its_unit();
    void unit_lost_during_verify_has_no_verdict();
    void cleanupTestCase();

private:
    void make_worker(int no_device_ms, int device_ms);
    quint64 wait_for_handover(int units);

    std::unique_ptr<SimulatedUnits> units;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<WorkerRecorder> rec;
};

void tst_SM_A::initTestCase() {
    SimulatedUnits::set_up_command_table();
    // This test's own temporary directory: whatever an earlier run left there says nothing.
    QVERIFY(QDir(default_state_dir()).removeRecursively());
}

void tst_SM_A::init() {
    units = std::make_unique<SimulatedUnits>();
    work = std::make_unique<QTemporaryDir>();
}

void tst_SM_A::cleanup() {
    worker.reset(); // stops the thread before the recorder goes
    rec.reset();
    units.reset();
}

void tst_SM_A::make_worker(int no_device_ms, int device_ms) {
    worker = std::make_unique<SM_A>(work->filePath(QStringLiteral("firmware.dfu")), desired_FW_bin(),
                                    work->filePath(QStringLiteral("uploaded_FW.bin")));
    worker->poll_interval_no_device_ms = no_device_ms;
    worker->poll_interval_device_ms = device_ms;
    rec = std::make_unique<WorkerRecorder>(worker.get());
}

// The record reaches the main thread through its event queue.
// Returns the unit's number, 0 when it did not come.
quint64 tst_SM_A::wait_for_handover(int units_read) {
    if (!QTest::qWaitFor([&] { return rec->count(QStringLiteral("DevConn")) >= units_read; }, 20000))
        return 0;
    (void)QTest::qWaitFor(
        [&] { return worker->device_info.valid && worker->device_info_unit >= quint64(units_read); }, 5000);
    return worker->device_info_unit >= quint64(units_read) ? worker->device_info_unit : 0;
}

void tst_SM_A::first_scan_without_pause() {
    QVERIFY(units->scenario(QStringLiteral("no_unit")));
    make_worker(60000, 60000);
    worker->start();
    QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("A2")), 1, 10000);
    // The second search starts with its pause: the worker is asleep in A1 and has not scanned again.
    QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("A1")), 2, 10000);
    worker->do_stop();
    QVERIFY(worker->wait(10000));
    QCOMPARE(rec->count(QStringLiteral("A2")), 1);
    QCOMPARE(rec->sequence().mid(0, 6),
             (QStringList{QStringLiteral("A0"), QStringLiteral("A1"), QStringLiteral("NoDevConn"),
                          QStringLiteral("A2"), QStringLiteral("scanning"), QStringLiteral("A0")}));
}

void tst_SM_A::debug_output_logs_first_of_polling_run() {
    make_worker(200, 200);
    LogCapture log;
    worker->enable_debug_output();
    emit worker->sig_readingInfo();
    for (int i = 0; i < 3; ++i) {
        emit worker->sig_NoDevConn();
        emit worker->sig_scanning();
    }
    emit worker->sig_A2_entered();
    emit worker->sig_DevConn();
    emit worker->sig_scanning();
    emit worker->sig_scanning();
    emit worker->sig_FwUploading();
    emit worker->sig_FwUploadedMatches();
    emit worker->sig_DeviceError(QStringLiteral("x"));
    QCOMPARE(
        log.lines(),
        (QStringList{
            QStringLiteral("info: SM_A: Adding connections to show debug output (state transitions)"),
            QStringLiteral("debug: \"SM_A: /sig_readingInfo\""),
            QStringLiteral("debug: \"SM_A: /sig_NoDevConn\""),
            QStringLiteral("debug: \"SM_A: /sig_DevConn\""), QStringLiteral("debug: \"SM_A: /sig_scanning\""),
            QStringLiteral("debug: \"SM_A: /sig_FwUploading\""),
            QStringLiteral("debug: \"SM_A: /sig_FwUploadedMatches\"")}));
}

void tst_SM_A::unit_is_read_once() {
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    make_worker(20, 20);
    worker->start();
    QVERIFY(wait_for_handover(1));
    QCOMPARE(worker->device_info.FW_revision, QStringLiteral("2.3.1"));
    QCOMPARE(worker->device_info.device_type, Device::VOSK);
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A2")) >= 6, 20000);
    QCOMPARE(rec->count(QStringLiteral("readingInfo")), 1);
    QCOMPARE(rec->count(QStringLiteral("DevConn")), 1);
    // Reading a new unit: readingInfo, then NoDevConn, then DevConn.
    const QStringList seq = rec->sequence();
    const int reading = seq.indexOf(QStringLiteral("readingInfo"));
    QCOMPARE(seq.mid(reading, 3), (QStringList{QStringLiteral("readingInfo"), QStringLiteral("NoDevConn"),
                                               QStringLiteral("DevConn")}));
    QCOMPARE(seq.at(reading + 3), QStringLiteral("A4"));
}

void tst_SM_A::two_units_count_as_none() {
    QVERIFY(units->scenario(QStringLiteral("two_units")));
    make_worker(20, 20);
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A2")) >= 4, 20000);
    QVERIFY(rec->count(QStringLiteral("NoDevConn")) >= 4);
    QCOMPARE(rec->count(QStringLiteral("readingInfo")), 0);
    QCOMPARE(rec->count(QStringLiteral("DevConn")), 0);
}

void tst_SM_A::exchanged_unit_is_read_at_once() {
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    QVERIFY(units->prepare_held(QStringLiteral("other_product"), serial_Y));
    make_worker(20, 20);
    worker->start();
    QVERIFY(wait_for_handover(1));
    const int searches = rec->count(QStringLiteral("A0"));
    // Swapped in one instant: no listing ever shows the slot empty.
    QVERIFY(units->pull(serial_X) && units->plug(serial_Y, serial_Y));
    QVERIFY(wait_for_handover(2));
    QTRY_COMPARE(worker->device_info.device_type, Device::HURM);
    QCOMPARE(worker->device_info.FW_revision, QStringLiteral("1.2.0"));
    QCOMPARE(rec->count(QStringLiteral("A0")), searches);
    const QStringList seq = rec->sequence();
    const int second = seq.lastIndexOf(QStringLiteral("readingInfo"));
    QCOMPARE(seq.mid(second - 2, 5),
             (QStringList{QStringLiteral("A2"), QStringLiteral("scanning"), QStringLiteral("readingInfo"),
                          QStringLiteral("NoDevConn"), QStringLiteral("DevConn")}));
}

void tst_SM_A::serial_forgotten_after_download() {
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    QVERIFY(units->add_knob(serial_X, QStringLiteral("reappear_ms=200")));
    make_worker(20, 20);
    worker->start();
    QVERIFY(wait_for_handover(1));
    QCOMPARE(worker->device_info.FW_revision, QStringLiteral("2.3.1"));
    worker->set_command(SM_A::download);
    QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("FwDownloaded")), 1, 20000);
    // The same serial comes back and is read again, now with the desired revision.
    QVERIFY(wait_for_handover(2));
    QTRY_COMPARE(worker->device_info.FW_revision, desired_FW().revision);
    QCOMPARE(rec->count(QStringLiteral("readingInfo")), 2);
    const QStringList seq = rec->sequence();
    QCOMPARE(seq.mid(seq.indexOf(QStringLiteral("FwDownloading")) - 1, 4),
             (QStringList{QStringLiteral("A5"), QStringLiteral("FwDownloading"),
                          QStringLiteral("FwDownloaded"), QStringLiteral("A0")}));
    QCOMPARE(worker->get_command(), SM_A::no_command);
}

void tst_SM_A::verify_reports_result() {
    for (const char* scenario : {"current", "corrupt"}) {
        units = std::make_unique<SimulatedUnits>();
        QVERIFY(units->scenario(QString::fromLatin1(scenario)));
        make_worker(20, 20);
        LogCapture log;
        worker->start();
        QVERIFY(wait_for_handover(1));
        worker->set_command(SM_A::upload_and_verify);
        const bool matches = QByteArray(scenario) == "current";
        const QString verdict =
            matches ? QStringLiteral("FwUploadedMatches") : QStringLiteral("FwUploadedDiffers");
        QTRY_COMPARE_WITH_TIMEOUT(rec->count(verdict), 1, 20000);
        QVERIFY(log.contains(matches ? QStringLiteral("debug: Uploaded FW matches")
                                     : QStringLiteral("debug: Uploaded FW does not match")));
        // The unit stays the current one and is not read again.
        QTRY_VERIFY_WITH_TIMEOUT(
            rec->sequence().mid(rec->sequence().indexOf(verdict)).count(QStringLiteral("A4")) >= 2, 20000);
        QCOMPARE(rec->count(QStringLiteral("readingInfo")), 1);
        QCOMPARE(rec->count(QStringLiteral("FwUploading")), 1);
        worker.reset();
    }
}

void tst_SM_A::command_ends_idle_pause() {
    QVERIFY(units->scenario(QStringLiteral("current")));
    make_worker(20, 60000);
    worker->start();
    QVERIFY(wait_for_handover(1));
    QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("A4")), 1, 10000);
    worker->set_command(SM_A::upload_and_verify);
    // Well before the minute-long pause would have ended.
    QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("FwUploadedMatches")), 1, 20000);
    const QStringList seq = rec->sequence();
    QCOMPARE(seq.mid(0, seq.indexOf(QStringLiteral("A6"))).count(QStringLiteral("A2")), 1);
}

void tst_SM_A::stop_ends_worker_in_bounded_time_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("step");
    QTest::addColumn<int>("no_device_ms");
    QTest::addColumn<int>("device_ms");
    QTest::newRow("asleep in A1") << "no_unit"
                                  << "A1" << 60000 << 20;
    QTest::newRow("asleep in A4") << "current"
                                  << "A4" << 20 << 60000;
    // A unit that cannot be read and stays: the worker waits in A7 for it to go.
    QTest::newRow("A7, short interval") << "unreadable"
                                        << "A7" << 20 << 20;
    QTest::newRow("A7, long interval") << "unreadable"
                                       << "A7" << 20 << 60000;
}

void tst_SM_A::stop_ends_worker_in_bounded_time() {
    QFETCH(QString, scenario);
    QFETCH(QString, step);
    QFETCH(int, no_device_ms);
    QFETCH(int, device_ms);
    QVERIFY(units->scenario(scenario));
    make_worker(no_device_ms, device_ms);
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(step) >= 1, 20000);
    if (step == QLatin1String("A7")) {
        QCOMPARE(rec->count(QStringLiteral("DeviceError")), 1);
        // No signal marks the repeated scans of A7; let a few of them run.
        QTest::qWait(200);
    }
    worker->do_stop();
    QVERIFY(worker->is_stopping());
    QVERIFY(worker->wait(10000));
    QCOMPARE(rec->count(QStringLiteral("readingInfo")), step == QLatin1String("A1") ? 0 : 1);
}

void tst_SM_A::stop_ends_a_running_read() {
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    // A unit that stops answering in the middle of a read.
    QVERIFY(units->add_knob(serial_X, QStringLiteral("slow_read_ms=600000")));
    make_worker(20, 20);
    worker->start();
    // The script takes the knob away when the slow read begins.
    const auto reading = [&] {
        QFile knobs(units->unit_dir(serial_X) + QStringLiteral("/knobs"));
        return knobs.open(QIODevice::ReadOnly) && !knobs.readAll().contains("slow_read_ms");
    };
    QTRY_VERIFY_WITH_TIMEOUT(reading(), 20000);
    worker->do_stop();
    QVERIFY(worker->wait(5000));
    QCOMPARE(rec->count(QStringLiteral("DevConn")), 0);
}

void tst_SM_A::command_only_for_its_unit_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("change");
    // Given right before the worker takes it, the change not yet seen by the worker.
    QTest::newRow("pulled before taken, download") << int(SM_A::download) << "pulled before taken";
    QTest::newRow("exchanged before taken, verify")
        << int(SM_A::upload_and_verify) << "exchanged before taken";
    QTest::newRow("exchanged before taken, download") << int(SM_A::download) << "exchanged before taken";
    // Given late, after the worker saw the change: the machine judged the old unit from a queued signal.
    QTest::newRow("given after pull, replugged") << int(SM_A::upload_and_verify) << "given after pull";
    QTest::newRow("given after exchange") << int(SM_A::download) << "given after exchange";
}

void tst_SM_A::command_only_for_its_unit() {
    QFETCH(int, command);
    QFETCH(QString, change);
    const auto cmd = SM_A::Command(command);
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    QVERIFY(units->prepare_held(QStringLiteral("outdated"), serial_Y));
    make_worker(20, 300);
    worker->start();
    const quint64 unit_X = wait_for_handover(1);
    QVERIFY(unit_X);
    SimulatedUnits* u = units.get();
    SM_A* w = worker.get();

    if (change.endsWith(QLatin1String("before taken"))) {
        // On the worker thread at the start of the next idle pass: the command arrives for X while the
        // listing already shows something else.
        const bool pulled = change.startsWith(QLatin1String("pulled"));
        rec->hook(QStringLiteral("A4"), rec->count(QStringLiteral("A4")), [u, w, cmd, unit_X, pulled] {
            QVERIFY(pulled ? u->pull(serial_X) : u->exchange(serial_X, serial_Y));
            w->set_command(cmd, unit_X);
        });
        if (pulled) {
            QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A0")) >= 2, 20000);
            QVERIFY(units->plug(serial_Y, serial_Y));
        }
    } else if (change == QLatin1String("given after pull")) {
        const int searches = rec->count(QStringLiteral("A1"));
        QVERIFY(units->pull(serial_X));
        QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A1")) > searches, 20000);
        worker->set_command(cmd, unit_X);
        QVERIFY(units->plug(serial_X, serial_X));
    } else {
        QVERIFY(units->exchange(serial_X, serial_Y));
        QVERIFY(wait_for_handover(2));
        worker->set_command(cmd, unit_X);
    }
    QVERIFY(wait_for_handover(2));
    // Two idle passes after the new unit was read: a pending command would have been taken by now.
    const int idle = rec->count(QStringLiteral("A4"));
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A4")) >= idle + 2, 20000);
    // A command that reached the tool was refused by it: addressed to X, it never touches Y.
    QCOMPARE(rec->count(QStringLiteral("FwDownloadFailed")), rec->count(QStringLiteral("FwDownloading")));
    QCOMPARE(
        rec->count(QStringLiteral("FwUploadedDiffers")) + rec->count(QStringLiteral("FwUploadedMatches")), 0);
    QCOMPARE(worker->get_command(), SM_A::no_command);
    // Commands for the unit now connected are carried out.
    QTRY_COMPARE_WITH_TIMEOUT(worker->device_info_unit, quint64(rec->count(QStringLiteral("DevConn"))), 5000);
    const int refused = rec->count(QStringLiteral("FwDownloadFailed"));
    const int downloads = rec->count(QStringLiteral("FwDownloaded"));
    worker->set_command(cmd);
    if (cmd == SM_A::download)
        QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("FwDownloaded")), downloads + 1, 20000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("FwUploadedDiffers")), 1, 20000);
    QCOMPARE(rec->count(QStringLiteral("FwDownloadFailed")), refused);
}

void tst_SM_A::unit_lost_during_verify_has_no_verdict() {
    QVERIFY(units->scenario(QStringLiteral("vanishes_during_verify")));
    make_worker(20, 20);
    worker->start();
    QVERIFY(wait_for_handover(1));
    worker->set_command(SM_A::upload_and_verify);
    QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("FwUploading")), 1, 20000);
    const QStringList seq = rec->sequence();
    QTRY_VERIFY_WITH_TIMEOUT(rec->sequence()
                                 .mid(rec->sequence().indexOf(QStringLiteral("FwUploading")))
                                 .contains(QStringLiteral("NoDevConn")),
                             20000);
    QCOMPARE(rec->count(QStringLiteral("FwUploadedDiffers")), 0);
    QCOMPARE(rec->count(QStringLiteral("FwUploadedMatches")), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!worker->device_info.valid && worker->device_info_unit == 0, 5000);
}

// Nothing here may fall back to the user's own simulated units (the test runs with a TMPDIR of its own).
void tst_SM_A::cleanupTestCase() {
    QVERIFY(!QFileInfo::exists(default_state_dir()));
}

QTEST_GUILESS_MAIN(tst_SM_A)
#include "tst_sm_a.moc"
