#pragma once

#include "Settings.h"

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include <vector>

// A coloured ring laid over its parent, e.g. pointing at the button the user must hold.
class Circle : public QWidget {
    Q_OBJECT
public:
    struct Data {
        QPoint center; // in the parent's coordinates, screen pixels
        int radius = 0;
        int pen_width = 0;
        QColor color;
    };

    Circle(Data data, QWidget* parent = nullptr);

    void setup();
    void setCenter(QPoint center);
    const Data& data() const { return data_; }
    // The rectangle the ring's stroke is centred on, in widget coordinates.
    QRect ringRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Data data_;
};

void add_circles(const std::vector<Circle::Data>& circles, QWidget* parent);
void add_circles(const std::vector<Settings::CircleData>& circles, QWidget* parent);
