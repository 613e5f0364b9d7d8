// The look at sysfs that tells whether a unit may be on the bus, against fake sysfs trees.

#include "Presence.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace {

// A fake `<root>/bus/usb/devices` with device directories as the kernel shows them.
class FakeBus {
public:
    QString root() const { return dir_.path(); }
    QString devices() const { return dir_.path() + QStringLiteral("/bus/usb/devices"); }
    void make() { QDir().mkpath(devices()); }
    void add(const QString& name, const QByteArray& vendor, const QByteArray& product) {
        QDir().mkpath(devices() + QLatin1Char('/') + name);
        if (!vendor.isNull())
            write(name + QStringLiteral("/idVendor"), vendor + '\n');
        if (!product.isNull())
            write(name + QStringLiteral("/idProduct"), product + '\n');
    }
    void remove(const QString& name) { QDir(devices() + QLatin1Char('/') + name).removeRecursively(); }
    void write(const QString& file, const QByteArray& bytes) {
        QFile f(devices() + QLatin1Char('/') + file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private:
    QTemporaryDir dir_;
};

} // namespace

Q_DECLARE_METATYPE(DFU::Presence::Answer)

class TestDfuPresence : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void follows_the_bus();
    void root_from_the_environment();
    void watch_reports_device_nodes();
};

void TestDfuPresence::answers_data() {
    QTest::addColumn<QStringList>("devices"); // "name vendor product"; "-" leaves the file out
    QTest::addColumn<DFU::Presence::Answer>("answer");
    const QStringList others{"usb1 1d6b 0002", "1-1.1 046d c31c"};
    QTest::newRow("no bus at all") << QStringList{"<none>"} << DFU::Presence::unknown;
    QTest::newRow("an empty bus") << QStringList{} << DFU::Presence::none;
    QTest::newRow("a hub and a keyboard") << others << DFU::Presence::none;
    QTest::newRow("a unit in DFU mode")
        << others + QStringList{"1-1.4 0483 df11"} << DFU::Presence::candidate;
    QTest::newRow("upper-case IDs") << QStringList{"1-1.4 0483 DF11"} << DFU::Presence::candidate;
    QTest::newRow("the vendor's other device") << QStringList{"1-1.4 0483 5740"} << DFU::Presence::none;
    QTest::newRow("another vendor's DFU device") << QStringList{"1-1.4 1209 df11"} << DFU::Presence::none;
    // Interfaces carry no device IDs of their own; one that did would still not count.
    QTest::newRow("an interface") << QStringList{"1-1.4:1.0 0483 df11"} << DFU::Presence::none;
    QTest::newRow("a device without IDs yet") << QStringList{"1-1.4 - -"} << DFU::Presence::none;
}

void TestDfuPresence::answers() {
    QFETCH(QStringList, devices);
    QFETCH(DFU::Presence::Answer, answer);
    FakeBus bus;
    if (devices != QStringList{"<none>"}) {
        bus.make();
        for (const QString& d : devices) {
            const QStringList f = d.split(QLatin1Char(' '));
            bus.add(f[0], f[1] == QLatin1String("-") ? QByteArray() : f[1].toLatin1(),
                    f[2] == QLatin1String("-") ? QByteArray() : f[2].toLatin1());
        }
    }
    DFU::Presence presence(bus.root());
    QCOMPARE(presence.look(), answer);
    QCOMPARE(presence.look(), answer);
}

// Devices come and go between looks; what was read once is not trusted for a new device.
void TestDfuPresence::follows_the_bus() {
    FakeBus bus;
    bus.make();
    bus.add(QStringLiteral("1-1.1"), "046d", "c31c");
    DFU::Presence presence(bus.root());
    QCOMPARE(presence.look(), DFU::Presence::none);

    bus.add(QStringLiteral("1-1.4"), "0483", "df11");
    QCOMPARE(presence.look(), DFU::Presence::candidate);
    bus.remove(QStringLiteral("1-1.4"));
    QCOMPARE(presence.look(), DFU::Presence::none);

    // The keyboard's port now holds the unit: a new directory under the same name.
    bus.remove(QStringLiteral("1-1.1"));
    bus.add(QStringLiteral("1-1.1"), "0483", "df11");
    QCOMPARE(presence.look(), DFU::Presence::candidate);
    bus.remove(QStringLiteral("1-1.1"));

    // Seen while the kernel is still adding it: its IDs come a moment later.
    bus.add(QStringLiteral("1-1.5"), QByteArray(), QByteArray());
    QCOMPARE(presence.look(), DFU::Presence::none);
    bus.write(QStringLiteral("1-1.5/idVendor"), "0483\n");
    bus.write(QStringLiteral("1-1.5/idProduct"), "df11\n");
    QCOMPARE(presence.look(), DFU::Presence::candidate);

    // The bus itself goes away (a sandbox): unknown, not "none".
    QVERIFY(QDir(bus.devices()).removeRecursively());
    QCOMPARE(presence.look(), DFU::Presence::unknown);
}

void TestDfuPresence::root_from_the_environment() {
    qunsetenv("VELTARO_SYSFS_ROOT");
    QCOMPARE(DFU::Presence::default_root(), QStringLiteral("/sys"));
    qputenv("VELTARO_SYSFS_ROOT", "/tmp/fake-sys");
    QCOMPARE(DFU::Presence::default_root(), QStringLiteral("/tmp/fake-sys"));
    qunsetenv("VELTARO_SYSFS_ROOT");
}

// The device nodes tell of every change, also on a bus that appears later; without them only looking
// works.
void TestDfuPresence::watch_reports_device_nodes() {
    FakeBus bus;
    bus.make();
    {
        DFU::Presence presence(bus.root());
        QCOMPARE(presence.nodes_directory(), bus.root() + QStringLiteral("/dev/bus/usb"));
        QVERIFY(!presence.watch([] {}));
    }
    QCOMPARE(DFU::Presence(QStringLiteral("/sys")).nodes_directory(), QStringLiteral("/dev/bus/usb"));

    const QString nodes = bus.root() + QStringLiteral("/dev/bus/usb");
    QVERIFY(QDir().mkpath(nodes + QStringLiteral("/001")));
    std::atomic<int> reports{0};
    DFU::Presence presence(bus.root());
    QVERIFY(presence.watch([&reports] { ++reports; }));
    QVERIFY(!presence.watch([] {})); // once per object

    const auto touch = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::WriteOnly);
    };
    QVERIFY(touch(nodes + QStringLiteral("/001/007")));
    QTRY_VERIFY(reports.load() >= 1);
    int seen = reports.load();
    QVERIFY(QFile::remove(nodes + QStringLiteral("/001/007")));
    QTRY_VERIFY(reports.load() > seen);
    // Permissions granted by a rule after the node was made.
    QVERIFY(touch(nodes + QStringLiteral("/001/008")));
    QTRY_VERIFY(reports.load() > seen + 1);
    seen = reports.load();
    QVERIFY(QFile::setPermissions(nodes + QStringLiteral("/001/008"), QFile::ReadOwner | QFile::WriteOwner));
    QTRY_VERIFY(reports.load() > seen);

    // A new bus, and then a device on it.
    QVERIFY(QDir().mkpath(nodes + QStringLiteral("/002")));
    QTRY_VERIFY(reports.load() > seen + 1);
    seen = reports.load();
    QVERIFY(touch(nodes + QStringLiteral("/002/002")));
    QTRY_VERIFY(reports.load() > seen);
}

QTEST_GUILESS_MAIN(TestDfuPresence)
#include "tst_dfu_presence.moc"
