#include "Settings.h"

#include "support_misc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QTextDocument>

namespace Settings {

LabelData LabelData_factory(QJsonObject object) {
    LabelData label;
    if (object.contains(QLatin1String("id")))
        label.id = object.value(QLatin1String("id")).toString();
    if (object.contains(QLatin1String("position"))) {
        const QJsonObject position = object.value(QLatin1String("position")).toObject();
        if (position.contains(QLatin1String("x")))
            label.position.setX(position.value(QLatin1String("x")).toInt());
        if (position.contains(QLatin1String("y")))
            label.position.setY(position.value(QLatin1String("y")).toInt());
    }
    if (object.contains(QLatin1String("size")))
        label.size = object.value(QLatin1String("size")).toInt();
    if (object.contains(QLatin1String("font")))
        label.font = object.value(QLatin1String("font")).toString();
    if (object.contains(QLatin1String("create")))
        label.create = object.value(QLatin1String("create")).toBool();
    if (object.contains(QLatin1String("white")))
        label.white = object.value(QLatin1String("white")).toBool();
    if (object.contains(QLatin1String("text")))
        label.text = object.value(QLatin1String("text")).toString();
    return label;
}

CircleData CircleData_factory(QJsonObject object) {
    CircleData circle;
    circle.name = object.value(QLatin1String("name")).toString();
    const QJsonObject center = object.value(QLatin1String("center")).toObject();
    circle.center =
        QPoint(center.value(QLatin1String("x")).toInt(), center.value(QLatin1String("y")).toInt());
    circle.radius = object.value(QLatin1String("radius")).toInt();
    circle.pen_width = object.value(QLatin1String("pen_width")).toInt();
    circle.color.setNamedColor(object.value(QLatin1String("color")).toString());
    return circle;
}

GUI::GUI(const QString& document) {
    const QJsonObject top = QJsonDocument::fromJson(document.toUtf8()).object();
    for (const QJsonValue& value : top.value(QLatin1String("circles")).toArray())
        circles.push_back(CircleData_factory(value.toObject()));
    for (const QJsonValue& value : top.value(QLatin1String("labels")).toArray())
        labels.push_back(LabelData_factory(value.toObject()));
    valid = true;
}

const LabelData* GUI::label(const QString& id) const {
    for (const LabelData& label : labels)
        if (label.id == id)
            return &label;
    qWarning() << "No matching label with id" << id << "found";
    return nullptr;
}

QString GUI::text(const QString& id) const {
    const LabelData* found = label(id);
    return found ? found->text : QString();
}

QString load_settings_file(QString path) {
    return support_misc::load_text_file(support_misc::maybe_use_file_instead_of_resource(path));
}

GUI make_GUI(QString path) {
    return GUI(load_settings_file(path));
}

QString fill_text(const QString& text, const QStringList& values) {
    const bool rich = Qt::mightBeRichText(text);
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('%') && i + 1 < text.size() && text.at(i + 1).isDigit()) {
            int n = text.at(i + 1).digitValue();
            int len = 2;
            if (i + 2 < text.size() && text.at(i + 2).isDigit()) {
                n = n * 10 + text.at(i + 2).digitValue();
                len = 3;
            }
            if (n >= 1 && n <= values.size()) {
                out += rich ? values.at(n - 1).toHtmlEscaped() : values.at(n - 1);
                i += len - 1;
                continue;
            }
        }
        out += text.at(i);
    }
    return out;
}

LabelData::operator QString() const {
    return QStringLiteral("Label '%1': (%2,%3) {%4%5%6} font='%7':%8: '%9'")
        .arg(id)
        .arg(position.x())
        .arg(position.y())
        .arg(white ? QString() : QStringLiteral("not-white"))
        .arg(!white && !create ? QStringLiteral(" ") : QString())
        .arg(create ? QString() : QStringLiteral("no-create"))
        .arg(font)
        .arg(size)
        .arg(text);
}

CircleData::operator QString() const {
    return QStringLiteral("Circle '%1': (%2,%3), r=%4, w=%5, color=%6")
        .arg(name)
        .arg(center.x())
        .arg(center.y())
        .arg(radius)
        .arg(pen_width)
        .arg(color.name(QColor::HexArgb));
}

GUI::operator QString() const {
    QString out = QStringLiteral("GUI settings:\n");
    if (!valid)
        return out + QStringLiteral("\tInvalid");
    for (const CircleData& circle : circles)
        out += QLatin1Char('\t') + QString(circle) + QLatin1Char('\n');
    for (const LabelData& label : labels)
        out += QLatin1Char('\t') + QString(label) + QLatin1Char('\n');
    return out;
}

QDebug operator<<(QDebug debug, const LabelData& label) {
    QDebugStateSaver saver(debug);
    debug.quote() << QString(label);
    return debug;
}

QDebug operator<<(QDebug debug, const CircleData& circle) {
    QDebugStateSaver saver(debug);
    debug.quote() << QString(circle);
    return debug;
}

QDebug operator<<(QDebug debug, const GUI& gui) {
    QDebugStateSaver saver(debug);
    debug.noquote() << QString(gui);
    return debug;
}

} // namespace Settings
