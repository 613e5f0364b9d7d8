#include "ProgressBar.h"

#include <QtGlobal>

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent), timer(new QTimer(this)) {
    setup_GUI();
    connect(timer, &QTimer::timeout, this, &ProgressBar::increase);
}

void ProgressBar::setup_GUI() {
    setRange(0, 100);
    setStyleSheet(QStringLiteral("\n"
                                 "QProgressBar {\n"
                                 "    border: 2px solid grey;\n"
                                 "    border-radius: 5px;\n"
                                 "    text-align: center;\n"
                                 "}\n"
                                 "\n"
                                 "QProgressBar::chunk {\n"
                                 "    background-color: rgba(160,240,140,100%);\n"
                                 "    width: 5px;\n"
                                 "}\n"));
}

void ProgressBar::startAutoProgress(QString format, double duration) {
    timer->stop();
    setValue(minimum());
    setFormat(format);
    if (duration >= 0) {
        const int ms = int(duration * 1000);
        durationMs = ms < 2 ? 1 : ms;
    }
    startAutoProgress();
}

void ProgressBar::startAutoProgress() {
    steps = maximum() - minimum();
    if (steps < 2)
        steps = 1;
    const int interval = qMax(durationMs / steps, minInterval);
    setValue(minimum());
    timer->setInterval(interval);
    timer->start();
    clock.start();
    show();
}

void ProgressBar::increase() {
    setValue(int(steps * (double(clock.elapsed()) / durationMs)));
    if (clock.elapsed() > durationMs) {
        timer->stop();
        setValue(maximum());
        emit finished();
    }
}

void ProgressBar::showProgress(const QString& format, int value) {
    timer->stop();
    setFormat(format);
    setValue(qBound(minimum(), value, maximum()));
    show();
}
