#pragma once

#include "Circle.h"
#include "ProgressBar.h"
#include "Settings.h"

#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QCloseEvent;
class QKeyEvent;

class InstallButton : public QPushButton {
    Q_OBJECT
public:
    explicit InstallButton(QWidget* parent = nullptr);
};

// The window's geometry in screen pixels for one design-to-screen factor.
struct WindowGeometry {
    QSize fixedSize;        // 665 x 517 scaled, truncated
    QSize centredSize;      // 665 x 517 scaled, rounded: the rectangle centred on the screen
    int drop = 0;           // how far the window then moves down
    QRect button;           // install button and progress bar, in window coordinates
    int wideLabelWidth = 0; // fixed width of the right-aligned labels "4" and "4_hdr"
};
WindowGeometry window_geometry(double scale);
// The circle records converted to screen pixels: centre rounded, radius and stroke truncated.
std::vector<Circle::Data> scaled_circles(const std::vector<Settings::CircleData>& circles, double scale);

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(const Settings::Settings* settings, QWidget* parent = nullptr);

    void setupGeometry();

    const Settings::Settings* settings;
    QLabel* statusLabel = nullptr; // null when the settings make no status label
    bool downloadMode = false;
    double scale = 1.0;
    InstallButton* installButton = nullptr;
    ProgressBar* progressBar = nullptr;

    // Asked before the window closes; true keeps it open (its owner then says why and closes it later).
    std::function<bool()> closeGuard;

    // The install button's caption from the settings, restored after a failure was shown on it.
    QString installCaption;
    bool verificationFailedShown = false;

    static const QString verificationFailedCaption;

signals:
    void finished();
    void downloadModeChanged();

public slots:
    void enableDownload();
    void disableDownload();
    void toggleDownload();
    void updateDownloadMode();

    // Writes a status template filled with values (escaped when the template is rich text) into the
    // status line; does nothing when there is no status line.
    void setStatusText(const QString& text_template, const QStringList& values = QStringList());

    // A failed verification: stops and hides the progress bar, so the install button in the same place
    // is seen again, enabled, with the failure as its caption in red. Clicking the button or disabling
    // downloads restores the normal caption.
    void showVerificationFailed(const QString& caption = verificationFailedCaption);
    void clearVerificationFailed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap background;
};

// Decodes the window's background image on a thread of its own while start-up goes on (a fifth of the
// window's making otherwise); the first window takes it from there. Call it once the QApplication exists.
void preload_background();

// Builds the whole window; stops the program when the settings have no "status_noDev" text.
MainWindow* MainWindow_factory(const Settings::Settings* settings, QWidget* parent, bool simulator);
void add_labels(const Settings::Settings* settings, MainWindow* window, bool simulator);
