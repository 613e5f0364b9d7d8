#include "ProgressBar.h"

#include <QSignalSpy>
#include <QtTest>

class TestProgressBar : public QObject {
    Q_OBJECT
private slots:
    void setup();
    void intervals_data();
    void intervals();
    void negativeKeepsDuration();
    void fillEndsFullOnce();
    void restartBeginsAgain();
    void reportedValueStopsTheFill_data();
    void reportedValueStopsTheFill();
};

void TestProgressBar::setup() {
    ProgressBar bar;
    QCOMPARE(bar.minimum(), 0);
    QCOMPARE(bar.maximum(), 100);
    QCOMPARE(bar.styleSheet().size(), 181);
    QCOMPARE(bar.minInterval, 50);
    QCOMPARE(bar.durationMs, 10000);
    QVERIFY(!bar.timer->isActive());
}

void TestProgressBar::intervals_data() {
    QTest::addColumn<double>("duration");
    QTest::addColumn<int>("durationMs");
    QTest::addColumn<int>("interval");
    QTest::newRow("60 s") << 60.0 << 60000 << 600;
    QTest::newRow("10 s") << 10.0 << 10000 << 100;
    QTest::newRow("0.5 s, floor") << 0.5 << 500 << 50;
    QTest::newRow("1 ms") << 0.001 << 1 << 50;
    QTest::newRow("0") << 0.0 << 1 << 50;
    QTest::newRow("1.9999 ms truncated") << 0.0019999 << 1 << 50;
    QTest::newRow("2 ms") << 0.002 << 2 << 50;
}

void TestProgressBar::intervals() {
    QFETCH(double, duration);
    ProgressBar bar;
    bar.setValue(40);
    bar.startAutoProgress(QStringLiteral("x"), duration);
    QTEST(bar.durationMs, "durationMs");
    QTEST(bar.timer->interval(), "interval");
    QCOMPARE(bar.value(), 0);
    QCOMPARE(bar.format(), QStringLiteral("x"));
    QCOMPARE(bar.steps, 100);
    QVERIFY(bar.timer->isActive());
    QVERIFY(bar.isVisible());
}

void TestProgressBar::negativeKeepsDuration() {
    ProgressBar bar;
    bar.startAutoProgress(QStringLiteral("first"), 60);
    bar.startAutoProgress(QStringLiteral("second"));
    QCOMPARE(bar.durationMs, 60000);
    QCOMPARE(bar.timer->interval(), 600);
    QCOMPARE(bar.format(), QStringLiteral("second"));
    bar.startAutoProgress();
    QCOMPARE(bar.format(), QStringLiteral("second"));
    QVERIFY(bar.timer->isActive());
}

void TestProgressBar::fillEndsFullOnce() {
    for (const double duration : {0.001, 0.15}) {
        ProgressBar bar;
        QSignalSpy finished(&bar, &ProgressBar::finished);
        bar.startAutoProgress(QStringLiteral("x"), duration);
        QVERIFY(finished.wait(5000));
        QCOMPARE(bar.value(), bar.maximum());
        QVERIFY(!bar.timer->isActive()); // so no further tick can emit again
        QCOMPARE(finished.count(), 1);
        QVERIFY(bar.isVisible());
    }
}

void TestProgressBar::restartBeginsAgain() {
    ProgressBar bar;
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress(QStringLiteral("first"), 2.0);
    QTRY_VERIFY_WITH_TIMEOUT(bar.value() > 0, 5000);
    bar.startAutoProgress(QStringLiteral("second"), 0.3);
    QCOMPARE(bar.value(), 0);
    QCOMPARE(bar.format(), QStringLiteral("second"));
    QVERIFY(finished.wait(5000));
    QVERIFY(!bar.timer->isActive());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(bar.format(), QStringLiteral("second"));
}

void TestProgressBar::reportedValueStopsTheFill_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("shown");
    QTest::newRow("within") << 30 << 30;
    QTest::newRow("below the range") << -5 << 0;
    QTest::newRow("above the range") << 130 << 100;
}

void TestProgressBar::reportedValueStopsTheFill() {
    QFETCH(int, value);
    ProgressBar bar;
    QSignalSpy finished(&bar, &ProgressBar::finished);
    bar.startAutoProgress(QStringLiteral("timed"), 0.2);
    bar.hide();
    bar.showProgress(QStringLiteral("reported"), value);
    QTEST(bar.value(), "shown");
    QCOMPARE(bar.format(), QStringLiteral("reported"));
    QVERIFY(bar.isVisible());
    QVERIFY(!bar.timer->isActive());
    // The clock no longer moves it.
    QVERIFY(!finished.wait(400));
    QTEST(bar.value(), "shown");
}

QTEST_MAIN(TestProgressBar)
#include "tst_progressbar.moc"
