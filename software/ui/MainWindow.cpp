#include "MainWindow.h"

#include "Device.h"
#include "support_misc.h"

#include <QDebug>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>

#include <cmath>
#include <future>

namespace {

const QString background_path = QStringLiteral(":/resources/background.jpg");

std::future<QImage>& background_decoding() {
    static std::future<QImage> decoding;
    return decoding;
}

// The decoded background, decoded here where nobody started it earlier.
const QImage& background_image() {
    static QImage image;
    std::future<QImage>& decoding = background_decoding();
    if (decoding.valid())
        image = decoding.get();
    if (image.isNull())
        image = QImage(background_path);
    return image;
}

constexpr int design_width = 665;
constexpr int design_height = 517;

// Pixel size factor of label fonts, fixed once for the process.
double pixelScale() {
    static double value = 0;
    if (value == 0) {
        value = QGuiApplication::primaryScreen()->physicalDotsPerInch() / 110.0;
        if (support_misc::compiled_for_platform(support_misc::windows))
            value *= 1.3;
    }
    return value;
}

} // namespace

const QString MainWindow::verificationFailedCaption =
    QStringLiteral("Verification failed. Click to try again");

InstallButton::InstallButton(QWidget* parent) : QPushButton(parent) {
    setFlat(false);
    setEnabled(true);
    setMinimumHeight(30);
    setObjectName(QStringLiteral("GUI_8"));
    connect(this, &QPushButton::clicked, [] { qInfo() << "Install clicked"; });
}

WindowGeometry window_geometry(double scale) {
    WindowGeometry g;
    g.fixedSize = QSize(int(design_width * scale), int(design_height * scale));
    g.centredSize = QSize(qRound(design_width * scale), qRound(design_height * scale));
    g.drop = qRound(50 * scale);
    g.button = QRect(int(207 * scale), int(417 * scale), int(250 * scale), int(40 * scale));
    g.wideLabelWidth = int(228 * scale);
    return g;
}

std::vector<Circle::Data> scaled_circles(const std::vector<Settings::CircleData>& circles, double scale) {
    std::vector<Circle::Data> out;
    out.reserve(circles.size());
    for (const Settings::CircleData& c : circles)
        out.push_back({QPoint(qRound(c.center.x() * scale), qRound(c.center.y() * scale)),
                       int(c.radius * scale), int(c.pen_width * scale), c.color});
    return out;
}

MainWindow::MainWindow(const Settings::Settings* settings, QWidget* parent)
    : QMainWindow(parent), settings(settings) {
    auto* central = new QWidget(this);
    background = QPixmap::fromImage(background_image());
    scale = support_misc::compiled_for_platform(support_misc::macOS)
                ? 1.0
                : QGuiApplication::primaryScreen()->logicalDotsPerInchX() / 96.0;
    setCentralWidget(central);
    setupGeometry();
    downloadMode = false;
    connect(this, &MainWindow::downloadModeChanged, this, &MainWindow::updateDownloadMode);
}

void MainWindow::setupGeometry() {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const WindowGeometry g = window_geometry(scale);
    setFixedSize(g.fixedSize);
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, g.centredSize, screen));
    move(pos() + QPoint(0, g.drop));
    if (installButton)
        installButton->setGeometry(g.button);
    if (progressBar) {
        progressBar->setGeometry(g.button);
        progressBar->hide();
    }
}

void MainWindow::enableDownload() {
    downloadMode = true;
    emit downloadModeChanged();
}

void MainWindow::disableDownload() {
    downloadMode = false;
    emit downloadModeChanged();
}

void MainWindow::toggleDownload() {
    downloadMode = !downloadMode;
    emit downloadModeChanged();
}

void MainWindow::updateDownloadMode() {
    if (installButton) {
        qInfo() << "MainWindow downloadMode: setEnabled" << downloadMode;
        installButton->setEnabled(downloadMode);
    }
    qInfo() << "Download " << (downloadMode ? "enabled" : "disabled");
    if (!downloadMode)
        clearVerificationFailed();
}

void MainWindow::setStatusText(const QString& text_template, const QStringList& values) {
    if (!statusLabel)
        return;
    // Fixed from the template, so that values put into it can never switch the label to rich text.
    statusLabel->setTextFormat(Qt::mightBeRichText(text_template) ? Qt::RichText : Qt::PlainText);
    statusLabel->setText(Settings::fill_text(text_template, values));
}

void MainWindow::showVerificationFailed(const QString& caption) {
    if (progressBar) {
        progressBar->timer->stop();
        progressBar->setValue(progressBar->minimum());
        progressBar->hide();
    }
    if (installButton) {
        installButton->setText(caption);
        installButton->setStyleSheet(QStringLiteral("QPushButton { color: #C00000; font-weight: bold; }"));
        installButton->show();
    }
    verificationFailedShown = true;
    qInfo() << "Verification failure shown:" << caption;
    enableDownload();
}

void MainWindow::clearVerificationFailed() {
    if (!verificationFailedShown)
        return;
    verificationFailedShown = false;
    if (installButton) {
        installButton->setText(installCaption);
        installButton->setStyleSheet(QString());
    }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_A:
        toggleDownload();
        break;
    case Qt::Key_Escape:
    case Qt::Key_Q:
        emit finished();
        break;
    default:
        break;
    }
}

void preload_background() {
    std::future<QImage>& decoding = background_decoding();
    if (!decoding.valid())
        decoding = std::async(std::launch::async, [] { return QImage(background_path); });
}

// The background stretched over the whole window, under every child.
void MainWindow::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), background);
    QMainWindow::paintEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeGuard && closeGuard()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void add_labels(const Settings::Settings* settings, MainWindow* window, bool simulator) {
    window->show();
    for (const Settings::LabelData& record : settings->gui.labels) {
        if (!record.create) {
            if (record.id == QLatin1String("8b2") && window->installButton) {
                window->installCaption = record.text;
                window->installButton->setText(record.text);
                continue;
            }
            if (!(record.id == QLatin1String("sim_mode") && simulator))
                continue;
        }
        if (record.text.isEmpty())
            continue;

        auto* label = new QLabel(record.text, window);
        // Fixed from the settings text, so that values filled in below cannot switch it to rich text.
        label->setTextFormat(Qt::mightBeRichText(record.text) ? Qt::RichText : Qt::PlainText);
        if (record.id == QLatin1String("2")) {
            Device::ProductInfo desired;
            desired.type = settings->desired_FW_type;
            label->setText(Settings::fill_text(record.text, {desired.product_name_full()}));
        }
        if (record.id == QLatin1String("4"))
            label->setText(Settings::fill_text(record.text, {settings->desired_FW_revision}));

        if (record.id == QLatin1String("2") || record.id == QLatin1String("3"))
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        const bool wide = record.id == QLatin1String("4") || record.id == QLatin1String("4_hdr");
        if (wide)
            label->setAlignment(Qt::AlignRight | Qt::AlignTop);
        if (record.id == QLatin1String("status_noDev"))
            window->statusLabel = label;

        if (!record.font.isEmpty())
            label->setFont(QFont(record.font));
        if (record.size > 0) {
            QFont font = label->font();
            font.setPixelSize(int(record.size * pixelScale()));
            label->setFont(font);
        }

        const QFontMetrics metrics(label->font());
        int width = metrics.horizontalAdvance(label->text());
        const int lines = label->text().count(QLatin1Char('\n')) + 1;
        const int height = metrics.height() * lines;
        if (wide) {
            width = window_geometry(window->scale).wideLabelWidth;
            qInfo() << "Overriding width to " << width << "for text:" << record.text;
        }
        label->resize(width, height);
        label->setStyleSheet(
            record.white
                ? QStringLiteral(
                      "QLabel { background-color : rgba(0,0,0,0%); color : rgba(175,175,175,100%); }")
                : QStringLiteral("QLabel { background-color : rgba(0,0,0,0%); color : black; }"));
        if (record.position.x() > 0 && record.position.y() > 0)
            label->move(qRound(record.position.x() * window->scale),
                        qRound(record.position.y() * window->scale));
        label->show();
    }
}

MainWindow* MainWindow_factory(const Settings::Settings* settings, QWidget* parent, bool simulator) {
    if (settings->gui.text(QStringLiteral("status_noDev")).isEmpty())
        qFatal("No message with id '%s' found, aborting", "status_noDev");
    auto* window = new MainWindow(settings, parent);
    window->installButton = new InstallButton(window);
    QObject::connect(window->installButton, &QPushButton::clicked, window,
                     &MainWindow::clearVerificationFailed);
    add_labels(settings, window, simulator);
    window->updateDownloadMode();
    window->progressBar = new ProgressBar(window);
    window->setupGeometry();
    add_circles(scaled_circles(settings->gui.circles, window->scale), window);
    return window;
}
