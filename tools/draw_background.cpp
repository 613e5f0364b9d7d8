// Draws the window's background picture: a calm dark backdrop with a drawing of the unit whose head
// button sits at design pixel (295, 287), and a light band at the bottom for the status line.
// Deterministic, so the picture is rebuilt identically.

#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_background OUT.jpg\n");
        return 2;
    }
    const int width = 665;
    const int height = 517;
    const int band_top = 452;
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, 0, band_top);
    sky.setColorAt(0.0, QColor("#1d2733"));
    sky.setColorAt(1.0, QColor("#2f4152"));
    p.fillRect(0, 0, width, band_top, sky);
    p.fillRect(0, band_top, width, height - band_top, QColor("#e9edf0"));
    p.fillRect(0, band_top, width, 2, QColor("#8fa3b3"));

    // A faint divider between the title column and the version column.
    p.setPen(QPen(QColor(255, 255, 255, 28), 1));
    p.drawLine(380, 40, 380, 130);

    // Soft floor shadow under the unit.
    QRadialGradient shadow(QPointF(430, 322), 190);
    shadow.setColorAt(0.0, QColor(0, 0, 0, 90));
    shadow.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(QPointF(430, 322), 190, 18);

    // Body: a rounded housing running to the right of the head.
    QLinearGradient body(0, 190, 0, 310);
    body.setColorAt(0.0, QColor("#6d7f90"));
    body.setColorAt(1.0, QColor("#3e4d5c"));
    p.setBrush(body);
    p.setPen(QPen(QColor("#9aabba"), 1.5));
    p.drawRoundedRect(QRectF(300, 196, 292, 112), 26, 26);

    // Ventilation slots and the USB port at the far end.
    p.setPen(QPen(QColor(20, 28, 36, 140), 3, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 6; ++i)
        p.drawLine(QPointF(420 + 22 * i, 222), QPointF(420 + 22 * i, 282));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#1b232b"));
    p.drawRoundedRect(QRectF(578, 242, 16, 20), 3, 3);
    p.setBrush(QColor("#b8c4ce"));
    p.drawRect(QRectF(583, 247, 6, 10));

    // Head: a round cap with its button at the lower edge.
    QRadialGradient head(QPointF(280, 230), 80);
    head.setColorAt(0.0, QColor("#8fa1b1"));
    head.setColorAt(1.0, QColor("#4b5b6a"));
    p.setBrush(head);
    p.setPen(QPen(QColor("#a9b8c5"), 1.5));
    p.drawEllipse(QPointF(295, 252), 66, 66);
    // Lens ring.
    p.setBrush(QColor("#26323d"));
    p.setPen(QPen(QColor("#c4d0da"), 2));
    p.drawEllipse(QPointF(295, 238), 30, 30);
    p.setBrush(QColor("#f5e7a8"));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(295, 238), 12, 12);
    // The head button (where the ring of the settings points).
    QRadialGradient button(QPointF(292, 284), 12);
    button.setColorAt(0.0, QColor("#f3f6f8"));
    button.setColorAt(1.0, QColor("#aab7c2"));
    p.setBrush(button);
    p.setPen(QPen(QColor("#2a3540"), 1.5));
    p.drawEllipse(QPointF(295, 287), 10, 10);

    // Power cable leaving the body.
    QPainterPath cable;
    cable.moveTo(594, 252);
    cable.cubicTo(630, 252, 640, 300, 618, 340);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor("#151c22"), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(cable);
    p.end();

    return image.save(QString::fromLocal8Bit(argv[1]), "JPG", 92) ? 0 : 1;
}
