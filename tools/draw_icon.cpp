// Draws the application icon: the unit's round head (lens and head button with its red ring, as on the
// window's background) on the window's dark backdrop, with an upgrade arrow. One list of shapes in a
// 128-unit square is painted into the PNG and written as SVG text, so both pictures always agree.
// Deterministic, so the files are rebuilt identically.

#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPolygonF>
#include <QRadialGradient>
#include <QTextStream>

#include <cstdio>
#include <vector>

namespace {

struct Stop {
    double offset;
    const char* colour;
};

// A plain colour (no stops), a linear gradient from (x1, y1) to (x2, y2), or a radial one around
// (x1, y1) with radius x2.
struct Paint {
    enum Kind { none, plain, linear, radial } kind = none;
    const char* colour = nullptr;
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    std::vector<Stop> stops;
};

Paint plain(const char* colour) {
    return {Paint::plain, colour, 0, 0, 0, 0, {}};
}
Paint linear(double x1, double y1, double x2, double y2, std::vector<Stop> stops) {
    return {Paint::linear, nullptr, x1, y1, x2, y2, std::move(stops)};
}
Paint radial(double cx, double cy, double r, std::vector<Stop> stops) {
    return {Paint::radial, nullptr, cx, cy, r, 0, std::move(stops)};
}

struct Shape {
    enum Kind { rounded_rect, circle, polygon } kind;
    std::vector<double> geometry; // x y w h radius | cx cy r | x0 y0 x1 y1 ...
    Paint fill;
    const char* stroke = nullptr;
    double stroke_width = 0;
};

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> list = {
        // Backdrop: the window's dark sky.
        {Shape::rounded_rect,
         {8, 8, 112, 112, 24},
         linear(0, 8, 0, 120, {{0, "#1d2733"}, {1, "#2f4152"}}),
         "#8fa3b3",
         2},
        // Head with its lens.
        {Shape::circle, {56, 58, 38}, radial(48, 44, 50, {{0, "#8fa1b1"}, {1, "#4b5b6a"}}), "#a9b8c5", 2},
        {Shape::circle, {56, 47, 16}, plain("#26323d"), "#c4d0da", 2.5},
        {Shape::circle, {56, 47, 7}, plain("#f5e7a8")},
        // The head button inside the ring that the window draws around it.
        {Shape::circle, {56, 80, 9.5}, Paint{}, "#d04a4a", 3},
        {Shape::circle, {56, 80, 5.5}, radial(55, 79, 6, {{0, "#f3f6f8"}, {1, "#aab7c2"}}), "#2a3540", 1},
        // Upgrade badge.
        {Shape::circle, {94, 94, 21}, plain("#e9edf0"), "#1d2733", 3},
        {Shape::polygon, {94, 80, 106, 93, 99, 93, 99, 106, 89, 106, 89, 93, 82, 93}, plain("#2f4152")},
    };
    return list;
}

QBrush brush(const Paint& paint) {
    QGradient gradient;
    switch (paint.kind) {
    case Paint::none:
        return Qt::NoBrush;
    case Paint::plain:
        return QColor(paint.colour);
    case Paint::linear:
        gradient = QLinearGradient(paint.x1, paint.y1, paint.x2, paint.y2);
        break;
    case Paint::radial:
        gradient = QRadialGradient(paint.x1, paint.y1, paint.x2);
        break;
    }
    for (const Stop& stop : paint.stops)
        gradient.setColorAt(stop.offset, QColor(stop.colour));
    return gradient;
}

QPolygonF points(const std::vector<double>& g) {
    QPolygonF polygon;
    for (size_t i = 0; i + 1 < g.size(); i += 2)
        polygon << QPointF(g[i], g[i + 1]);
    return polygon;
}

bool draw_png(const QString& path, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);
    for (const Shape& s : shapes()) {
        p.setBrush(brush(s.fill));
        p.setPen(s.stroke ? QPen(QColor(s.stroke), s.stroke_width) : QPen(Qt::NoPen));
        const std::vector<double>& g = s.geometry;
        switch (s.kind) {
        case Shape::rounded_rect:
            p.drawRoundedRect(QRectF(g[0], g[1], g[2], g[3]), g[4], g[4]);
            break;
        case Shape::circle:
            p.drawEllipse(QPointF(g[0], g[1]), g[2], g[2]);
            break;
        case Shape::polygon:
            p.drawPolygon(points(g));
            break;
        }
    }
    p.end();
    return image.save(path, "PNG");
}

bool write_svg(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream out(&file);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 128 "
           "128\">\n";
    QString defs;
    QString body;
    int gradients = 0;
    for (const Shape& s : shapes()) {
        QString fill = QStringLiteral("none");
        const Paint& paint = s.fill;
        if (paint.kind == Paint::plain) {
            fill = QString::fromLatin1(paint.colour);
        } else if (paint.kind == Paint::linear || paint.kind == Paint::radial) {
            const QString id = QStringLiteral("g%1").arg(gradients++);
            fill = QStringLiteral("url(#%1)").arg(id);
            if (paint.kind == Paint::linear)
                defs +=
                    QStringLiteral("    <linearGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" x1=\"%2\" "
                                   "y1=\"%3\" x2=\"%4\" y2=\"%5\">\n")
                        .arg(id)
                        .arg(paint.x1)
                        .arg(paint.y1)
                        .arg(paint.x2)
                        .arg(paint.y2);
            else
                defs +=
                    QStringLiteral("    <radialGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" cx=\"%2\" "
                                   "cy=\"%3\" r=\"%4\">\n")
                        .arg(id)
                        .arg(paint.x1)
                        .arg(paint.y1)
                        .arg(paint.x2);
            for (const Stop& stop : paint.stops)
                defs += QStringLiteral("      <stop offset=\"%1\" stop-color=\"%2\"/>\n")
                            .arg(stop.offset)
                            .arg(QString::fromLatin1(stop.colour));
            defs += paint.kind == Paint::linear ? QStringLiteral("    </linearGradient>\n")
                                                : QStringLiteral("    </radialGradient>\n");
        }
        QString attributes = QStringLiteral(" fill=\"%1\"").arg(fill);
        if (s.stroke)
            attributes += QStringLiteral(" stroke=\"%1\" stroke-width=\"%2\"")
                              .arg(QString::fromLatin1(s.stroke))
                              .arg(s.stroke_width);
        const std::vector<double>& g = s.geometry;
        switch (s.kind) {
        case Shape::rounded_rect:
            body += QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\"%6/>\n")
                        .arg(g[0])
                        .arg(g[1])
                        .arg(g[2])
                        .arg(g[3])
                        .arg(g[4])
                        .arg(attributes);
            break;
        case Shape::circle:
            body += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\"%4/>\n")
                        .arg(g[0])
                        .arg(g[1])
                        .arg(g[2])
                        .arg(attributes);
            break;
        case Shape::polygon: {
            QStringList xy;
            for (const QPointF& point : points(g))
                xy << QStringLiteral("%1,%2").arg(point.x()).arg(point.y());
            body +=
                QStringLiteral("  <polygon points=\"%1\"%2/>\n").arg(xy.join(QLatin1Char(' ')), attributes);
            break;
        }
        }
    }
    out << "  <defs>\n" << defs << "  </defs>\n" << body << "</svg>\n";
    out.flush();
    return file.error() == QFile::NoError;
}

} // namespace

// No application object: nothing here needs a platform (no text is drawn).
int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: draw_icon OUT.png OUT.svg\n");
        return 2;
    }
    const bool ok =
        draw_png(QString::fromLocal8Bit(argv[1]), 128) && write_svg(QString::fromLocal8Bit(argv[2]));
    return ok ? 0 : 1;
}
