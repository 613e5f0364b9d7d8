#include "support_fonts.h"

#include "../common/LogCapture.h"

#include <QApplication>
#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QtTest>

// Built twice: with the font resources, and without them (every load then fails).
class TestFonts : public QObject {
    Q_OBJECT
private slots:
    void setupFonts();
    void loadFontFailure();
    void emptyFamilyChangesNothing();
};

void TestFonts::setupFonts() {
    const QFont before = QApplication::font();
    const bool present = QFile::exists(QStringLiteral(":resources/VeltaroSans-Regular.otf"));
    for (int call = 1; call <= 2; ++call) {
        LogCapture log;
        support::setup_fonts();
        if (present) {
            QVERIFY(!support::veltaro_font_name.isEmpty());
            QCOMPARE(
                log.lines(),
                QStringList{
                    QStringLiteral("info: Load/set default font: \"%1\"").arg(support::veltaro_font_name)});
            QCOMPARE(QApplication::font().family(), support::veltaro_font_name);
            QCOMPARE(QApplication::font().pointSize(), 11);
            QLabel label;
            QCOMPARE(QFontInfo(label.font()).family(), support::veltaro_font_name);
        } else {
            QVERIFY(support::veltaro_font_name.isEmpty());
            QCOMPARE(QApplication::font(), before);
            QStringList expected;
            if (call == 1) // loading is tried once per process
                expected << QStringLiteral(
                                "warning: Unable to load font from  \":resources/VeltaroSans-Regular.otf\"")
                         << QStringLiteral(
                                "warning: Unable to load font from  \":resources/VeltaroSans-Bold.otf\"");
            expected << QStringLiteral("warning: Unable to load/set the Veltaro font as default");
            QCOMPARE(log.lines(), expected);
        }
    }
    if (present) {
        LogCapture log;
        QVERIFY(!support::load_font(QStringLiteral(":resources/VeltaroSans-Bold.otf")).isEmpty());
        QVERIFY(log.lines().isEmpty());
    }
}

void TestFonts::loadFontFailure() {
    LogCapture log;
    QCOMPARE(support::load_font(QStringLiteral(":resources/no_such_font.otf")), QString());
    QCOMPARE(log.lines(), QStringList{QStringLiteral(
                              "warning: Unable to load font from  \":resources/no_such_font.otf\"")});
}

void TestFonts::emptyFamilyChangesNothing() {
    const QFont before = QApplication::font();
    support::set_default_font(QString());
    QCOMPARE(QApplication::font(), before);
}

QTEST_MAIN(TestFonts)
#include "tst_fonts.moc"
