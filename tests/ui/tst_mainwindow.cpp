#include "MainWindow.h"

#include "../common/LogCapture.h"

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QStyle>
#include <QtTest>

namespace {

Settings::Settings shipped(Device::Type type = Device::VOSK,
                           const QString& revision = QStringLiteral("2.4.0")) {
    Settings::Settings settings;
    settings.gui = Settings::make_GUI(QStringLiteral(":resources/settings_GUI.json"));
    settings.desired_FW_type = type;
    settings.desired_FW_revision = revision;
    return settings;
}

Settings::Settings custom(const char* labels) {
    Settings::Settings settings;
    settings.gui = Settings::GUI(QStringLiteral(R"({"labels":[%1]})").arg(QString::fromUtf8(labels)));
    settings.desired_FW_type = Device::VOSK;
    return settings;
}

QList<QLabel*> labelsAt(const QWidget* window, QPoint position) {
    QList<QLabel*> found;
    for (QLabel* label : window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        if (label->pos() == position)
            found << label;
    return found;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void shippedWindow_data();
    void shippedWindow();
    void keys();
    void geometryForScale_data();
    void geometryForScale();
    void scaledWindow();
    void unitTextsEscaped();
    void statusText();
    void noStatusLabel();
    void verificationFailure();
    void labelRules();
    void missingStatusTextStops();
};

void TestMainWindow::shippedWindow_data() {
    QTest::addColumn<bool>("simulator");
    QTest::newRow("real unit") << false;
    QTest::newRow("simulator") << true;
}

void TestMainWindow::shippedWindow() {
    QFETCH(bool, simulator);
    const Settings::Settings settings = shipped();
    LogCapture log;
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, simulator));

    QCOMPARE(window->scale, 1.0);
    QCOMPARE(window->minimumSize(), QSize(665, 517));
    QCOMPARE(window->maximumSize(), QSize(665, 517));
    const QRect centred = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, QSize(665, 517),
                                              QGuiApplication::primaryScreen()->geometry());
    QCOMPARE(window->geometry().topLeft(), centred.topLeft() + QPoint(0, 50));

    QCOMPARE(window->installButton->geometry(), QRect(207, 417, 250, 40));
    QCOMPARE(window->installButton->text(), QStringLiteral("5. Click to start upgrade"));
    QCOMPARE(window->installButton->objectName(), QStringLiteral("GUI_8"));
    QVERIFY(!window->installButton->isEnabled());
    QVERIFY(!window->downloadMode);
    QCOMPARE(window->progressBar->geometry(), QRect(207, 417, 250, 40));
    QVERIFY(window->progressBar->isHidden());
    QVERIFY(log.contains(QStringLiteral("info: MainWindow downloadMode: setEnabled false")));
    QVERIFY(log.contains(QStringLiteral("info: Download  disabled")));

    const struct {
        QPoint position;
        const char* fragment;
    } expected[] = {{{37, 32}, "Veltaro Lx-50"},
                    {{400, 32}, "2.4.0"},
                    {{37, 270}, "Follow the steps below"},
                    {{37, 320}, "1. Disconnect power cable"},
                    {{37, 350}, "2. Wait at least 2 minutes"},
                    {{37, 380}, "3. Press and hold"},
                    {{37, 428}, "4. Connect USB-cable"},
                    {{37, 463}, "Note: Once the update is finished"}};
    for (const auto& e : expected) {
        const QList<QLabel*> labels = labelsAt(window.get(), e.position);
        QCOMPARE(labels.size(), 1);
        QVERIFY2(labels.front()->text().contains(QLatin1String(e.fragment)),
                 qPrintable(labels.front()->text()));
        QVERIFY(labels.front()->isVisible());
    }
    QCOMPARE(labelsAt(window.get(), {400, 32}).front()->width(), 228);
    QVERIFY(labelsAt(window.get(), {400, 32}).front()->alignment() & Qt::AlignRight);
    QCOMPARE(window->statusLabel, labelsAt(window.get(), {37, 463}).front());
    QCOMPARE(window->statusLabel->text(), settings.gui.text(QStringLiteral("status_noDev")));

    const QList<QLabel*> simLabels = labelsAt(window.get(), {480, 407});
    QCOMPARE(simLabels.size(), simulator ? 1 : 0);
    if (simulator)
        QCOMPARE(simLabels.front()->text(), QStringLiteral("Simulator mode"));
    QVERIFY(labelsAt(window.get(), {480, 427}).isEmpty()); // debug_mode
    // 8 labels of the settings, and the simulator line; nothing else.
    QCOMPARE(window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).size(), simulator ? 9 : 8);

    const QList<Circle*> circles = window->findChildren<Circle*>();
    QCOMPARE(circles.size(), 1);
    QCOMPARE(circles.front()->geometry(), QRect(275, 267, 40, 40));
    QCOMPARE(circles.front()->ringRect(), QRect(2, 2, 36, 36));
}

void TestMainWindow::keys() {
    const Settings::Settings settings = shipped();
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    QSignalSpy finished(window.get(), &MainWindow::finished);
    QSignalSpy changed(window.get(), &MainWindow::downloadModeChanged);

    QTest::keyClick(window.get(), Qt::Key_A);
    QVERIFY(window->installButton->isEnabled());
    QTest::keyClick(window.get(), Qt::Key_A, Qt::ShiftModifier);
    QVERIFY(!window->installButton->isEnabled());
    QCOMPARE(changed.count(), 2);

    QTest::keyClick(window.get(), Qt::Key_B);
    QTest::keyClick(window.get(), Qt::Key_Return);
    QCOMPARE(finished.count(), 0);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QCOMPARE(finished.count(), 1);
    QTest::keyClick(window.get(), Qt::Key_Q);
    QCOMPARE(finished.count(), 2);
    QVERIFY(window->isVisible());

    // Setting the same mode again still announces it.
    window->disableDownload();
    QCOMPARE(changed.count(), 3);
    window->enableDownload();
    QVERIFY(window->installButton->isEnabled());
}

void TestMainWindow::geometryForScale_data() {
    QTest::addColumn<double>("scale");
    QTest::addColumn<QSize>("fixedSize");
    QTest::addColumn<QSize>("centredSize");
    QTest::addColumn<int>("drop");
    QTest::addColumn<QRect>("button");
    QTest::addColumn<int>("wideLabel");
    QTest::addColumn<QPoint>("ringCenter");
    QTest::addColumn<int>("ringRadius");
    QTest::addColumn<int>("ringStroke");
    QTest::newRow("1") << 1.0 << QSize(665, 517) << QSize(665, 517) << 50 << QRect(207, 417, 250, 40) << 228
                       << QPoint(295, 287) << 20 << 5;
    QTest::newRow("1.5") << 1.5 << QSize(997, 775) << QSize(998, 776) << 75 << QRect(310, 625, 375, 60) << 342
                         << QPoint(443, 431) << 30 << 7;
}

void TestMainWindow::geometryForScale() {
    QFETCH(double, scale);
    const WindowGeometry g = window_geometry(scale);
    QTEST(g.fixedSize, "fixedSize");
    QTEST(g.centredSize, "centredSize");
    QTEST(g.drop, "drop");
    QTEST(g.button, "button");
    QTEST(g.wideLabelWidth, "wideLabel");
    const std::vector<Circle::Data> circles = scaled_circles(shipped().gui.circles, scale);
    QCOMPARE(int(circles.size()), 1);
    QTEST(circles.front().center, "ringCenter");
    QTEST(circles.front().radius, "ringRadius");
    QTEST(circles.front().pen_width, "ringStroke");
}

// Run at scale 1 and, by CTest, once more on a screen of 144 logical dots per inch (scale 1.5).
void TestMainWindow::scaledWindow() {
    const Settings::Settings settings = shipped();
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    const double scale = QGuiApplication::primaryScreen()->logicalDotsPerInchX() / 96.0;
    QCOMPARE(window->scale, scale);
    const WindowGeometry g = window_geometry(scale);
    QCOMPARE(window->minimumSize(), g.fixedSize);
    QCOMPARE(window->maximumSize(), g.fixedSize);
    QCOMPARE(window->installButton->geometry(), g.button);
    QCOMPARE(window->progressBar->geometry(), g.button);
    const QRect centred = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, g.centredSize,
                                              QGuiApplication::primaryScreen()->geometry());
    QCOMPARE(window->geometry().topLeft(), centred.topLeft() + QPoint(0, g.drop));
    const QPoint versionAt(qRound(400 * scale), qRound(32 * scale));
    QCOMPARE(labelsAt(window.get(), versionAt).size(), 1);
    QCOMPARE(labelsAt(window.get(), versionAt).front()->width(), g.wideLabelWidth);
    QCOMPARE(labelsAt(window.get(), QPoint(qRound(37 * scale), qRound(463 * scale))).front(),
             window->statusLabel);
    const Circle* ring = window->findChild<Circle*>();
    QVERIFY(ring);
    const Circle::Data expected = scaled_circles(settings.gui.circles, scale).front();
    QCOMPARE(ring->data().center, expected.center);
    QCOMPARE(ring->data().radius, expected.radius);
    if (scale == 1.5) {
        QCOMPARE(window->minimumSize(), QSize(997, 775));
        QCOMPARE(window->installButton->geometry(), QRect(310, 625, 375, 60));
        QCOMPARE(labelsAt(window.get(), versionAt).front()->width(), 342);
        QCOMPARE(ring->geometry(), QRect(443 - 30, 431 - 30, 60, 60));
    }
}

void TestMainWindow::unitTextsEscaped() {
    // A product name with "&" and a revision holding markup show as written.
    const Settings::Settings settings = shipped(Device::BRAN, QStringLiteral("<i>9</i> & %2"));
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    QLabel* name = labelsAt(window.get(), {37, 32}).front();
    QLabel* revision = labelsAt(window.get(), {400, 32}).front();
    QVERIFY(name->text().contains(QStringLiteral("Veltaro M3 &amp; M3S")));
    QVERIFY(revision->text().contains(QStringLiteral("&lt;i&gt;9&lt;/i&gt; &amp; %2")));
    QCOMPARE(revision->textFormat(), Qt::RichText);
}

void TestMainWindow::statusText() {
    const Settings::Settings settings = shipped();
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    window->setStatusText(settings.gui.text(QStringLiteral("status_devRev")),
                          {QStringLiteral("Lx-50"), QStringLiteral("<b>2.3.1</b>")});
    QCOMPARE(window->statusLabel->text(),
             QStringLiteral(
                 "<span style=\"color:#000000; font-size:9pt\">Connected to a Lx-50 with firmware version "
                 "&lt;b&gt;2.3.1&lt;/b&gt;</span>"));
    QCOMPARE(window->statusLabel->textFormat(), Qt::RichText);
    // A plain template with a value that looks like markup stays plain text.
    window->setStatusText(QStringLiteral("Unit %1"), {QStringLiteral("<b>x</b>")});
    QCOMPARE(window->statusLabel->text(), QStringLiteral("Unit <b>x</b>"));
    QCOMPARE(window->statusLabel->textFormat(), Qt::PlainText);
}

void TestMainWindow::noStatusLabel() {
    const Settings::Settings settings = custom(R"({"id":"status_noDev","create":false,"text":"none"},
                                                  {"id":"8b2","create":false,"text":"go"})");
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    QVERIFY(!window->statusLabel);
    window->setStatusText(QStringLiteral("<b>%1</b>"), {QStringLiteral("x")});
    window->showVerificationFailed();
    QVERIFY(window->installButton->isEnabled());
    QVERIFY(window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly).isEmpty());
}

void TestMainWindow::verificationFailure() {
    const Settings::Settings settings = shipped();
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    for (const bool clearByClick : {true, false}) {
        window->disableDownload();
        window->progressBar->startAutoProgress(QStringLiteral("Uploading & verifying"), 0.5);
        QVERIFY(window->progressBar->isVisible());

        window->showVerificationFailed();
        QVERIFY(window->progressBar->isHidden());
        QVERIFY(!window->progressBar->timer->isActive());
        QCOMPARE(window->progressBar->value(), window->progressBar->minimum());
        QVERIFY(window->installButton->isVisible());
        QVERIFY(window->installButton->isEnabled());
        QCOMPARE(window->installButton->text(), MainWindow::verificationFailedCaption);
        QCOMPARE(window->installButton->geometry(), QRect(207, 417, 250, 40));

        if (clearByClick) {
            window->installButton->click(); // a new attempt starts
            QVERIFY(window->installButton->isEnabled());
        } else {
            window->disableDownload(); // the unit went away
            QVERIFY(!window->installButton->isEnabled());
        }
        QCOMPARE(window->installButton->text(), QStringLiteral("5. Click to start upgrade"));
        QCOMPARE(window->installButton->styleSheet(), QString());
    }
}

void TestMainWindow::labelRules() {
    const Settings::Settings settings =
        custom(R"({"id":"status_noDev","position":{"x":10,"y":400},"text":"s"},
        {"id":"8b2","position":{"x":10,"y":10},"text":"caption as label"},
        {"id":"sim_mode","position":{"x":10,"y":30},"create":false,"text":"never"},
        {"id":"other","position":{"x":0,"y":50},"text":"corner"},
        {"id":"two_lines","position":{"x":10,"y":100},"text":"one\ntwo","white":false},
        {"id":"empty","position":{"x":10,"y":200},"text":""},
        {"id":"big","position":{"x":10,"y":300},"size":22,"text":"big"})");
    QScopedPointer<MainWindow> window(MainWindow_factory(&settings, nullptr, false));
    QCOMPARE(window->installButton->text(), QString());
    QCOMPARE(labelsAt(window.get(), {10, 10}).front()->text(), QStringLiteral("caption as label"));
    QVERIFY(labelsAt(window.get(), {10, 30}).isEmpty());
    QCOMPARE(labelsAt(window.get(), {0, 0}).front()->text(), QStringLiteral("corner"));
    QVERIFY(labelsAt(window.get(), {10, 200}).isEmpty());

    QLabel* twoLines = labelsAt(window.get(), {10, 100}).front();
    QCOMPARE(twoLines->height(), 2 * QFontMetrics(twoLines->font()).height());
    QVERIFY(twoLines->styleSheet().contains(QStringLiteral("color : black")));

    QLabel* big = labelsAt(window.get(), {10, 300}).front();
    QCOMPARE(big->font().pixelSize(),
             int(22 * QGuiApplication::primaryScreen()->physicalDotsPerInch() / 110.0));
}

// The factory stops the program; the test runs it in a child copy of itself.
void TestMainWindow::missingStatusTextStops() {
    if (qEnvironmentVariableIsSet("TST_MAINWINDOW_CHILD")) {
        const Settings::Settings settings = custom(R"({"id":"status_noDev","text":""})");
        MainWindow_factory(&settings, nullptr, false);
        return;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TST_MAINWINDOW_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("missingStatusTextStops")});
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QString output =
        QString::fromLocal8Bit(child.readAllStandardOutput() + child.readAllStandardError());
    QVERIFY2(output.contains(QStringLiteral("No message with id 'status_noDev' found, aborting")),
             qPrintable(output));
    QVERIFY(!output.contains(QStringLiteral("Download ")));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
