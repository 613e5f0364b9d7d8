#include "Circle.h"

#include <QPainter>
#include <QPen>

Circle::Circle(Data data, QWidget* parent) : QWidget(parent), data_(std::move(data)) {
    setup();
}

void Circle::setup() {
    setBackgroundRole(QPalette::Base);
    setSizePolicy(QSizePolicy());
    setFixedSize(2 * data_.radius, 2 * data_.radius);
    move(data_.center - QPoint(data_.radius, data_.radius));
}

void Circle::setCenter(QPoint center) {
    data_.center = center;
    move(center - QPoint(data_.radius, data_.radius));
}

QRect Circle::ringRect() const {
    // A stroke wider than the ring's diameter would give a negative inner radius; draw nothing then.
    const int inner = qMax(data_.radius - data_.pen_width / 2, 0);
    return QRect(data_.radius - inner, data_.radius - inner, 2 * inner, 2 * inner);
}

void Circle::paintEvent(QPaintEvent*) {
    const QRect rect = ringRect();
    if (rect.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(
        QPen(QBrush(data_.color), qreal(data_.pen_width), Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.drawEllipse(rect);
}

void add_circles(const std::vector<Circle::Data>& circles, QWidget* parent) {
    for (const Circle::Data& data : circles)
        (new Circle(data, parent))->show();
}

void add_circles(const std::vector<Settings::CircleData>& circles, QWidget* parent) {
    std::vector<Circle::Data> converted;
    converted.reserve(circles.size());
    for (const Settings::CircleData& circle : circles)
        converted.push_back({circle.center, circle.radius, circle.pen_width, circle.color});
    add_circles(converted, parent);
}
