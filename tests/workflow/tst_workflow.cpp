// Worker and decision state machine together against the simulator script, scenario by scenario.

#include "SM_B.h"
#include "WorkflowFixture.h"
#include "support_misc.h"

#include <QDeadlineTimer>
#include <QtTest>

#include <memory>

class tst_Workflow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scenario_data();
    void scenario();
    void exchanged_right_after_judged_data();
    void exchanged_right_after_judged();
    void guards_see_the_unit_of_their_signal();
    void listing_glitch_never_leaves_the_machine_waiting_data();
    void listing_glitch_never_leaves_the_machine_waiting();

private:
    void start(int no_device_ms, int device_ms, bool start_worker = true);
    QStringList path() const { return states; }

    std::unique_ptr<SimulatedUnits> units;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<WorkerRecorder> rec;
    std::unique_ptr<SM_B> machine;
    QStringList states;
    QStringList emitted;
    QStringList judged; // "<type>/<revision>" of the machine's copy at each sig_DeviceConnected
};

void tst_Workflow::initTestCase() {
    SimulatedUnits::set_up_command_table();
}

void tst_Workflow::init() {
    units = std::make_unique<SimulatedUnits>();
    work = std::make_unique<QTemporaryDir>();
    states.clear();
    emitted.clear();
    judged.clear();
}

void tst_Workflow::cleanup() {
    // The clean-up's order: the worker first, then the machine.
    worker.reset();
    rec.reset();
    machine.reset();
    sm_A = nullptr;
    units.reset();
}

void tst_Workflow::start(int no_device_ms, int device_ms, bool start_worker) {
    worker = std::make_unique<SM_A>(work->filePath(QStringLiteral("firmware.dfu")), desired_FW_bin(),
                                    work->filePath(QStringLiteral("uploaded_FW.bin")));
    worker->poll_interval_no_device_ms = no_device_ms;
    worker->poll_interval_device_ms = device_ms;
    rec = std::make_unique<WorkerRecorder>(worker.get());
    sm_A = worker.get();
    const Device::FW_Info desired = desired_FW();
    machine = std::make_unique<SM_B>(worker.get(), desired.product_info.type, desired.revision);
    for (QState* state : {machine->B1, machine->B2, machine->B3, machine->B4, machine->B6, machine->B7,
                          machine->B8, machine->B9}) {
        const QString name = state->objectName().left(2);
        connect(state, &QState::entered, this, [this, name] { states << name; });
    }
    const auto add = [this](void (SM_B::*signal)(), const char* name) {
        const QString text = QString::fromLatin1(name);
        connect(machine.get(), signal, this, [this, text] { emitted << text; });
    };
    add(&SM_B::sig_UpgradeImpossible, "UpgradeImpossible");
    add(&SM_B::sig_UpgradePossible, "UpgradePossible");
    add(&SM_B::sig_DifferingRevision, "DifferingRevision");
    add(&SM_B::sig_UploadingVerifying, "UploadingVerifying");
    add(&SM_B::sig_FwMatches, "FwMatches");
    add(&SM_B::sig_FwDiffers, "FwDiffers");
    add(&SM_B::sig_InvalidProduct, "InvalidProduct");
    connect(machine.get(), &SM_B::sig_DeviceConnected, this, [this] {
        emitted << QStringLiteral("DeviceConnected");
        judged << QStringLiteral("%1/%2")
                      .arg(int(machine->device_info.device_type))
                      .arg(machine->device_info.FW_revision);
    });
    if (start_worker)
        connect(machine.get(), &QStateMachine::started, worker.get(), [this] { worker->start(); });
    machine->start();
}

void tst_Workflow::scenario_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("before_click"); // empty: no click
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("last_signals");

    const QStringList judged_B2{QStringLiteral("B1"), QStringLiteral("B2")};
    QTest::newRow("outdated") << "outdated" << judged_B2
                              << QStringList{QStringLiteral("B1"), QStringLiteral("B2"), QStringLiteral("B3"),
                                             QStringLiteral("B1"), QStringLiteral("B4"), QStringLiteral("B6")}
                              << "UploadingVerifying?FwMatches";
    // Half an image written: its information block already names the desired revision.
    QTest::newRow("download fails") << "download_fails" << judged_B2
                                    << QStringList{QStringLiteral("B1"), QStringLiteral("B2"),
                                                   QStringLiteral("B3"), QStringLiteral("B1"),
                                                   QStringLiteral("B4"), QStringLiteral("B7")}
                                    << "UpgradePossible,FwDiffers";
    QTest::newRow("corrupt") << "corrupt" << QStringList()
                             << QStringList{QStringLiteral("B1"), QStringLiteral("B4"), QStringLiteral("B7")}
                             << "UpgradePossible,FwDiffers";
    QTest::newRow("other_product") << "other_product" << QStringList()
                                   << QStringList{QStringLiteral("B1"), QStringLiteral("B8")}
                                   << "DeviceConnected,InvalidProduct";
    QTest::newRow("unknown_type") << "unknown_type" << QStringList()
                                  << QStringList{QStringLiteral("B1"), QStringLiteral("B8")}
                                  << "DeviceConnected,InvalidProduct";
    QTest::newRow("unreadable") << "unreadable" << QStringList() << QStringList{QStringLiteral("B1")}
                                << "UpgradeImpossible";
    // Lost while its flash is read back: no verdict, back to B1.
    QTest::newRow("vanishes_during_verify")
        << "vanishes_during_verify" << QStringList()
        << QStringList{QStringLiteral("B1"), QStringLiteral("B4"), QStringLiteral("B1")}
        << "UpgradeImpossible";
    if (have_service_build()) {
        // Service build: the blank unit is offered the upgrade and stays blank afterwards.
        QTest::newRow("blank_otp") << "blank_otp" << QStringList{QStringLiteral("B1"), QStringLiteral("B9")}
                                   << QStringList{QStringLiteral("B1"), QStringLiteral("B9"),
                                                  QStringLiteral("B3"), QStringLiteral("B1"),
                                                  QStringLiteral("B9")}
                                   << "DeviceConnected,UpgradePossible,DifferingRevision";
    } else {
        QTest::newRow("blank_otp") << "blank_otp" << QStringList()
                                   << QStringList{QStringLiteral("B1"), QStringLiteral("B9")}
                                   << "DeviceConnected,UpgradeImpossible,DifferingRevision";
    }
}

void tst_Workflow::scenario() {
    QFETCH(QString, scenario);
    QFETCH(QStringList, before_click);
    QFETCH(QStringList, expected);
    QFETCH(QString, last_signals);
    QVERIFY(units->scenario(scenario));
    if (!before_click.isEmpty())
        QVERIFY(units->add_knob(serial_X, QStringLiteral("reappear_ms=200")));
    start(20, 50);

    if (!before_click.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(path(), before_click, 20000);
        machine->do_download();
    }
    QTRY_COMPARE_WITH_TIMEOUT(path(), expected, 30000);
    if (scenario == QLatin1String("unreadable")) {
        QTRY_COMPARE_WITH_TIMEOUT(rec->count(QStringLiteral("DeviceError")), 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A7")) == 1, 20000);
    }
    // Let the worker run on with the unit in place: the machine stays where it is.
    const int idle = rec->count(QStringLiteral("scanning"));
    QTRY_VERIFY_WITH_TIMEOUT(
        rec->count(QStringLiteral("scanning")) >= idle + 3 || rec->count(QStringLiteral("A7")), 20000);
    QCoreApplication::processEvents();
    QCOMPARE(path(), expected);

    // "a?b": a, then b as the last signal.
    const QStringList tail = last_signals.split(QLatin1Char(','));
    if (last_signals.contains(QLatin1Char('?'))) {
        QVERIFY(emitted.contains(last_signals.section(QLatin1Char('?'), 0, 0)));
        QCOMPARE(emitted.last(), last_signals.section(QLatin1Char('?'), 1));
    } else {
        QCOMPARE(emitted.mid(emitted.size() - tail.size()), tail);
    }
    if (scenario == QLatin1String("vanishes_during_verify")) {
        QCOMPARE(rec->count(QStringLiteral("FwUploading")), 1);
        QVERIFY(!emitted.contains(QStringLiteral("FwDiffers")));
    }
}

void tst_Workflow::exchanged_right_after_judged_data() {
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expected");
    // Clicked after the exchange, before the worker has listed again: B2 -> B3, the tool refuses Y.
    QTest::newRow("outdated, then install clicked")
        << "outdated"
        << QStringList{QStringLiteral("B1"), QStringLiteral("B2"), QStringLiteral("B3"), QStringLiteral("B1"),
                       QStringLiteral("B2")};
    // Verification is asked for on entering B4; the unit is exchanged in the same instant.
    QTest::newRow("current, verification asked")
        << "current"
        << QStringList{QStringLiteral("B1"), QStringLiteral("B4"), QStringLiteral("B1"), QStringLiteral("B4"),
                       QStringLiteral("B6")};
}

void tst_Workflow::exchanged_right_after_judged() {
    QFETCH(QString, scenario);
    QFETCH(QStringList, expected);
    QVERIFY(units->scenario(scenario));
    start(20, 1000);
    SimulatedUnits* u = units.get();
    bool exchanged = false;
    if (scenario == QLatin1String("current")) {
        // On entering B4, right before the machine gives the command.
        connect(machine.get(), &SM_B::sig_UploadingVerifying, this, [&] {
            if (!exchanged)
                exchanged = u->exchange(serial_X, serial_Y);
        });
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(path(), expected.mid(0, 2), 20000);
        exchanged = u->exchange(serial_X, serial_Y);
        machine->do_download();
    }
    QTRY_COMPARE_WITH_TIMEOUT(path(), expected, 30000);
    QVERIFY(exchanged);
    // A command given for X reached the tool addressed to X, and the tool refused it: Y was neither
    // written (it is still offered its upgrade) nor given a verdict.
    QCOMPARE(rec->count(QStringLiteral("FwDownloadFailed")), rec->count(QStringLiteral("FwDownloading")));
    QCOMPARE(judged.size(), 2);
    // The only verdict is the one asked for after the new unit was judged.
    const QStringList seq = rec->sequence();
    QCOMPARE(rec->count(QStringLiteral("FwUploadedMatches")), scenario == QLatin1String("current") ? 1 : 0);
    QVERIFY(seq.indexOf(QStringLiteral("FwUploadedMatches")) == -1 ||
            seq.indexOf(QStringLiteral("FwUploadedMatches")) > seq.lastIndexOf(QStringLiteral("DevConn")));
    QCOMPARE(rec->count(QStringLiteral("FwUploadedDiffers")), 0);
}

void tst_Workflow::guards_see_the_unit_of_their_signal() {
    // X is read and pulled, and Y of another product read, all before the main thread handles anything:
    // the machine must still judge X by X's record and Y by Y's.
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    QVERIFY(units->prepare_held(QStringLiteral("other_product"), serial_Y));
    start(20, 20, false);
    QTRY_COMPARE(path(), QStringList{QStringLiteral("B1")});
    SimulatedUnits* u = units.get();
    rec->hook(QStringLiteral("DevConn"), 0, [u] { QVERIFY(u->pull(serial_X)); });
    rec->hook(QStringLiteral("A0"), 1, [u] { QVERIFY(u->plug(serial_Y, serial_Y)); });
    worker->start();

    // Deliberately no event processing here.
    QDeadlineTimer deadline(30000);
    while (rec->count(QStringLiteral("DevConn")) < 2 && !deadline.hasExpired())
        QThread::msleep(10);
    QCOMPARE(rec->count(QStringLiteral("DevConn")), 2);
    QVERIFY(path().size() == 1);

    QTRY_COMPARE_WITH_TIMEOUT(
        path(),
        (QStringList{QStringLiteral("B1"), QStringLiteral("B2"), QStringLiteral("B1"), QStringLiteral("B8")}),
        10000);
    QCOMPARE(judged, (QStringList{QStringLiteral("4/2.3.1"), QStringLiteral("43/1.2.0")}));
}

void tst_Workflow::listing_glitch_never_leaves_the_machine_waiting_data() {
    QTest::addColumn<bool>("with_click");
    QTest::newRow("the listing fails once while the upgrade is offered") << false;
    QTest::newRow("the listing fails once as the install button is clicked") << true;
}

// A passing failure of the tool's listing, while the unit stays: the unit is read and judged again, and
// the upgrade runs to the end; the machine never waits in B3 or B4 for an answer that does not come.
void tst_Workflow::listing_glitch_never_leaves_the_machine_waiting() {
    QFETCH(bool, with_click);
    QVERIFY(units->scenario(QStringLiteral("outdated")));
    QVERIFY(units->add_knob(serial_X, QStringLiteral("reappear_ms=200")));
    start(20, 50);
    QTRY_COMPARE_WITH_TIMEOUT(path(), (QStringList{QStringLiteral("B1"), QStringLiteral("B2")}), 20000);
    const int read = rec->count(QStringLiteral("readingInfo"));
    QVERIFY(units->add_knob(serial_X, QStringLiteral("list_fails_once=1")));
    if (!with_click) {
        // Seen as a unit gone for a moment: judged again, offered again.
        QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("readingInfo")) > read, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(path().mid(2), (QStringList{QStringLiteral("B1"), QStringLiteral("B2")}),
                                  20000);
    }
    // Either the download runs, or the click meets the glitch: then the command is dropped and the unit,
    // judged again, is offered again, and the user clicks again. Never B3 for good.
    const auto clicked_until_done = [this] {
        if (path().last() == QLatin1String("B2"))
            machine->do_download();
        return path().last() == QLatin1String("B6");
    };
    QTRY_VERIFY_WITH_TIMEOUT(clicked_until_done(), 60000);
    QCOMPARE(rec->count(QStringLiteral("FwUploadedMatches")), 1);
}

QTEST_GUILESS_MAIN(tst_Workflow)
#include "tst_workflow.moc"
