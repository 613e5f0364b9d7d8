#pragma once

#include "Device.h"

#include <QColor>
#include <QDebug>
#include <QJsonObject>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <vector>

// The window's texts, label places and indicator circles, read once from the GUI settings file.
namespace Settings {

struct LabelData {
    QString id;
    QPoint position{-1, -1};
    int size = -1;
    QString font;
    QString text;
    bool create = true;
    bool white = true;

    operator QString() const;
};

struct CircleData {
    QString name;
    QPoint center;
    int radius = 0;
    int pen_width = 0;
    QColor color;

    operator QString() const;
};

LabelData LabelData_factory(QJsonObject object);
CircleData CircleData_factory(QJsonObject object);

struct GUI {
    bool valid = false;
    std::vector<CircleData> circles;
    std::vector<LabelData> labels;

    GUI() = default;
    // Takes the document text, not a path. Unparsable text gives a valid GUI without records.
    explicit GUI(const QString& document);

    // First record with exactly this id; null (and a warning) when there is none.
    const LabelData* label(const QString& id) const;
    // That record's text, or an empty string.
    QString text(const QString& id) const;

    operator QString() const;
};

// Throws the QString message of support_misc::load_text_file when the file cannot be read.
QString load_settings_file(QString path);
GUI make_GUI(QString path);

struct Settings {
    GUI gui;
    Device::Type desired_FW_type = Device::invalid;
    QString desired_FW_revision;
};

// Fills the %1, %2, ... of a window text in one pass, so that a value holding "%2" is never filled
// again. When the text is rich text the values are HTML-escaped first: they may come from a unit's
// memory and must show as text, never as markup.
QString fill_text(const QString& text, const QStringList& values);

QDebug operator<<(QDebug debug, const LabelData& label);
QDebug operator<<(QDebug debug, const CircleData& circle);
QDebug operator<<(QDebug debug, const GUI& gui);

} // namespace Settings
