#include "Circle.h"

#include <QImage>
#include <QtTest>

class TestCircle : public QObject {
    Q_OBJECT
private slots:
    void ring_data();
    void ring();
    void setCenter();
    void addCirclesFromSettings();
};

void TestCircle::ring_data() {
    QTest::addColumn<int>("radius");
    QTest::addColumn<int>("pen_width");
    QTest::addColumn<QRect>("rect");
    QTest::newRow("stroke 4") << 20 << 4 << QRect(2, 2, 36, 36);
    QTest::newRow("stroke 5") << 20 << 5 << QRect(2, 2, 36, 36);
    QTest::newRow("stroke 6") << 20 << 6 << QRect(3, 3, 34, 34);
    QTest::newRow("stroke wider than the ring") << 20 << 50 << QRect(20, 20, 0, 0);
    QTest::newRow("zero radius") << 0 << 5 << QRect(0, 0, 0, 0);
}

void TestCircle::ring() {
    QFETCH(int, radius);
    QFETCH(int, pen_width);
    QFETCH(QRect, rect);
    QWidget parent;
    Circle circle({QPoint(295, 287), radius, pen_width, QColor(0xFF, 0x40, 0x40, 0x60)}, &parent);
    QCOMPARE(circle.size(), QSize(2 * radius, 2 * radius));
    QCOMPARE(circle.pos(), QPoint(295 - radius, 287 - radius));
    QCOMPARE(circle.ringRect(), rect);
    QCOMPARE(circle.sizePolicy(), QSizePolicy());

    // The stroke is drawn in the ring's colour, and only the outline.
    QImage image(circle.size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    circle.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    if (!rect.isEmpty()) {
        const QColor onRing = image.pixelColor(radius, rect.top());
        QVERIFY(onRing.alpha() > 0x40);
        QVERIFY(onRing.red() > onRing.green());
        QCOMPARE(image.pixelColor(radius, radius).alpha(), 0);
    }
}

void TestCircle::setCenter() {
    Circle circle({QPoint(0, 0), 20, 5, QColor(Qt::red)});
    circle.setCenter(QPoint(100, 100));
    QCOMPARE(circle.pos(), QPoint(80, 80));
    QCOMPARE(circle.data().center, QPoint(100, 100));
}

void TestCircle::addCirclesFromSettings() {
    QWidget parent;
    std::vector<Settings::CircleData> records(2);
    records[0] = {QStringLiteral("a"), QPoint(50, 60), 10, 2, QColor(Qt::blue)};
    records[1] = {QStringLiteral("b"), QPoint(200, 100), 20, 5, QColor(Qt::red)};
    add_circles(records, &parent);
    const QList<Circle*> circles = parent.findChildren<Circle*>();
    QCOMPARE(circles.size(), 2);
    QCOMPARE(circles[0]->geometry(), QRect(40, 50, 20, 20));
    QCOMPARE(circles[1]->geometry(), QRect(180, 80, 40, 40));
    QCOMPARE(circles[1]->data().color, QColor(Qt::red));
    QVERIFY(!circles[0]->isHidden());
}

QTEST_MAIN(TestCircle)
#include "tst_circle.moc"
