#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QString>
#include <QTimer>

// A bar that fills by the clock: started with a caption and an expected duration, it goes from empty to
// full over that time, whatever the work it stands for is doing. Where the work reports how far it is,
// showProgress sets the bar instead.
class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);

    void setup_GUI();

    int steps = 1;
    int minInterval = 50; // ms
    QTimer* timer;
    QElapsedTimer clock;
    int durationMs = 10000;

signals:
    void finished();

public slots:
    // duration in seconds; a negative one keeps the previous duration.
    void startAutoProgress(QString format, double duration = -1);
    void startAutoProgress();
    void increase();
    // Stops a running fill and shows `value` (kept within the range) under `format`.
    void showProgress(const QString& format, int value);
};
