// The worker with a look at the bus: no tool runs while sysfs shows no unit, a unit that appears ends
// the pause at once, and without sysfs the tool is polled as before. The fixture tool counts its runs.

#include "../dfu/FixtureTool.h"
#include "WorkflowFixture.h"

#include <QDir>
#include <QtTest>

#include <memory>

class TestWorkerPresence : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void no_tool_runs_while_the_bus_shows_no_unit();
    void an_arrival_ends_the_pause_data();
    void an_arrival_ends_the_pause();
    void without_sysfs_the_tool_is_polled();

private:
    void start(int no_device_ms, const QString& sysfs_root, int look_ms = 50);
    QString devices() const { return bus->path() + QStringLiteral("/bus/usb/devices"); }
    void plug_unit();
    int listings() const;

    std::unique_ptr<FixtureTool> tool;
    std::unique_ptr<QTemporaryDir> bus;
    std::unique_ptr<QTemporaryDir> work;
    std::unique_ptr<SM_A> worker;
    std::unique_ptr<WorkerRecorder> rec;
};

namespace {
// A device directory as the kernel shows it; made under another name and renamed, as it appears at once.
bool add_device(const QString& devices, const QString& name, const QByteArray& vendor,
                const QByteArray& product) {
    const QString dir = devices + QLatin1Char('/') + name;
    if (!QDir().mkpath(dir + QStringLiteral(".new")))
        return false;
    for (const auto& [file, id] :
         {std::pair<const char*, QByteArray>{"idVendor", vendor}, {"idProduct", product}}) {
        QFile f(dir + QStringLiteral(".new/") + QLatin1String(file));
        if (!f.open(QIODevice::WriteOnly) || f.write(id + '\n') != id.size() + 1)
            return false;
    }
    return QDir().rename(dir + QStringLiteral(".new"), dir);
}
} // namespace

void TestWorkerPresence::init() {
    tool = std::make_unique<FixtureTool>();
    bus = std::make_unique<QTemporaryDir>();
    work = std::make_unique<QTemporaryDir>();
    // A hub and a keyboard, as a desk without the unit shows them.
    QVERIFY(add_device(devices(), QStringLiteral("usb1"), "1d6b", "0002"));
    QVERIFY(add_device(devices(), QStringLiteral("1-1.1"), "046d", "c31c"));
}

void TestWorkerPresence::cleanup() {
    worker.reset();
    rec.reset();
    tool.reset();
}

void TestWorkerPresence::start(int no_device_ms, const QString& sysfs_root, int look_ms) {
    worker = std::make_unique<SM_A>(work->filePath(QStringLiteral("firmware.dfu")), desired_FW_bin(),
                                    work->filePath(QStringLiteral("uploaded_FW.bin")));
    worker->poll_interval_no_device_ms = no_device_ms;
    worker->poll_interval_device_ms = 20;
    worker->presence_look_ms = look_ms;
    worker->presence = std::make_unique<DFU::Presence>(sysfs_root);
    rec = std::make_unique<WorkerRecorder>(worker.get());
    worker->start();
}

void TestWorkerPresence::plug_unit() {
    QVERIFY(add_device(devices(), QStringLiteral("1-1.4"), "0483", "df11"));
    // Its device node comes after its sysfs entry, where the bus has device nodes.
    const QString nodes = bus->path() + QStringLiteral("/dev/bus/usb/001");
    if (QDir(nodes).exists()) {
        QFile node(nodes + QStringLiteral("/007"));
        QVERIFY(node.open(QIODevice::WriteOnly));
    }
}

int TestWorkerPresence::listings() const {
    int n = 0;
    for (const QStringList& run : tool->runs())
        n += run.contains(QStringLiteral("-l")) ? 1 : 0;
    return n;
}

void TestWorkerPresence::no_tool_runs_while_the_bus_shows_no_unit() {
    start(20, bus->path());
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A2")) >= 10, 20000);
    QCOMPARE(tool->runs().size(), 0);
    QVERIFY(rec->count(QStringLiteral("NoDevConn")) >= 10);
    plug_unit();
    QTRY_VERIFY_WITH_TIMEOUT(listings() >= 2, 20000);
}

void TestWorkerPresence::an_arrival_ends_the_pause_data() {
    QTest::addColumn<bool>("nodes");
    QTest::addColumn<int>("look_ms");
    // Only the looks every 50 ms can see it.
    QTest::newRow("looking") << false << 50;
    // The device node tells; the looks on a timer would come only after ten minutes.
    QTest::newRow("device node reports") << true << 600000;
}

void TestWorkerPresence::an_arrival_ends_the_pause() {
    QFETCH(bool, nodes);
    QFETCH(int, look_ms);
    if (nodes)
        QVERIFY(QDir().mkpath(bus->path() + QStringLiteral("/dev/bus/usb/001")));
    // Without a look at the bus the next listing would wait a minute.
    start(60000, bus->path(), look_ms);
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("NoDevConn")) >= 1, 20000);
    QCOMPARE(tool->runs().size(), 0);
    plug_unit();
    QTRY_VERIFY_WITH_TIMEOUT(listings() >= 1, 10000);
}

void TestWorkerPresence::without_sysfs_the_tool_is_polled() {
    start(20, bus->path() + QStringLiteral("/no-such-root"));
    QTRY_VERIFY_WITH_TIMEOUT(rec->count(QStringLiteral("A2")) >= 5, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(listings() >= 5, 20000);
}

QTEST_GUILESS_MAIN(TestWorkerPresence)
#include "tst_worker_presence.moc"
