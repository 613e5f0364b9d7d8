#include "Settings.h"

#include "../common/LogCapture.h"

#include <QJsonDocument>
#include <QtTest>

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void shippedFile();
    void labelFactory_data();
    void labelFactory();
    void circleFactory_data();
    void circleFactory();
    void documents_data();
    void documents();
    void lookUp();
    void renderings_data();
    void renderings();
    void streams();
    void fillText_data();
    void fillText();
    void missingFileThrows();
};

void TestSettings::shippedFile() {
    const Settings::GUI gui = Settings::make_GUI(QStringLiteral(":resources/settings_GUI.json"));
    QVERIFY(gui.valid);
    QVERIFY(gui.labels.size() >= 15);
    QCOMPARE(int(gui.circles.size()), 1);
    QCOMPARE(QString(gui.circles.front()),
             QStringLiteral("Circle 'Head-button': (295,287), r=20, w=5, color=#60ff4040"));

    const Settings::LabelData* two = gui.label(QStringLiteral("2"));
    QVERIFY(two);
    QCOMPARE(two->text.count(QLatin1Char('\n')), 4);
    QVERIFY(two->text.startsWith(QStringLiteral("\n<span style=\"font-size:20pt\">\n<span")));
    QCOMPARE(QString(*gui.label(QStringLiteral("7a"))),
             QStringLiteral("Label '7a': (37,320) {} font='':-1: '1. Disconnect power cable'"));
    QCOMPARE(QString(*gui.label(QStringLiteral("sim_mode"))),
             QStringLiteral("Label 'sim_mode': (480,407) {no-create} font='':-1: 'Simulator mode'"));
    QCOMPARE(gui.text(QStringLiteral("8b2")), QStringLiteral("5. Click to start upgrade"));
    QCOMPARE(
        gui.text(QStringLiteral("status_devRev")),
        QStringLiteral("<span style=\"color:#000000; font-size:9pt\">Connected to a %1 with firmware version "
                       "%2</span>"));
    const QStringList ids = {"2",
                             "4",
                             "5",
                             "7a",
                             "7b",
                             "7c",
                             "9",
                             "8b2",
                             "status_noDev",
                             "status_devConn",
                             "status_devRev",
                             "status_devRevUnknown",
                             "app_name",
                             "sim_mode",
                             "debug_mode"};
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(gui.labels[size_t(i)].id, ids[i]);
    // Every later record is a status text that the screen reactions fill in, never a label of its own.
    for (size_t i = size_t(ids.size()); i < gui.labels.size(); ++i) {
        QVERIFY2(gui.labels[i].id.startsWith(QLatin1String("status_")), qPrintable(gui.labels[i].id));
        QVERIFY(!gui.labels[i].create && !gui.labels[i].text.isEmpty());
        QVERIFY(gui.label(gui.labels[i].id) == &gui.labels[i]);
    }
    for (const Settings::LabelData& label : gui.labels) {
        QCOMPARE(label.size, -1);
        QVERIFY(label.font.isEmpty());
        QVERIFY(label.white);
    }
}

void TestSettings::labelFactory_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("font");
    QTest::addColumn<bool>("create");
    QTest::addColumn<bool>("white");
    QTest::addColumn<QString>("text");

    QTest::newRow("only id and text")
        << QByteArray(R"({"id":"x","text":"t"})") << QPoint(-1, -1) << -1 << "" << true << true << "t";
    QTest::newRow("x only") << QByteArray(R"({"position":{"x":10}})") << QPoint(10, -1) << -1 << "" << true
                            << true << "";
    QTest::newRow("create as number")
        << QByteArray(R"({"create":1})") << QPoint(-1, -1) << -1 << "" << false << true << "";
    QTest::newRow("size as string") << QByteArray(R"({"size":"12"})") << QPoint(-1, -1) << 0 << "" << true
                                    << true << "";
    QTest::newRow("size not whole") << QByteArray(R"({"size":12.5})") << QPoint(-1, -1) << 0 << "" << true
                                    << true << "";
    QTest::newRow("position not an object")
        << QByteArray(R"({"position":5})") << QPoint(-1, -1) << -1 << "" << true << true << "";
    QTest::newRow("every key")
        << QByteArray(
               R"({"id":"a","position":{"x":3,"y":4},"size":14,"font":"Serif","create":false,"white":false,"text":"t"})")
        << QPoint(3, 4) << 14 << "Serif" << false << false << "t";
    QTest::newRow("text as number") << QByteArray(R"({"text":5})") << QPoint(-1, -1) << -1 << "" << true
                                    << true << "";
}

void TestSettings::labelFactory() {
    QFETCH(QByteArray, json);
    const Settings::LabelData label = Settings::LabelData_factory(QJsonDocument::fromJson(json).object());
    QTEST(label.position, "position");
    QTEST(label.size, "size");
    QTEST(label.font, "font");
    QTEST(label.create, "create");
    QTEST(label.white, "white");
    QTEST(label.text, "text");
}

void TestSettings::circleFactory_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QPoint>("center");
    QTest::addColumn<int>("radius");
    QTest::addColumn<int>("pen_width");
    QTest::addColumn<QColor>("color");

    QTest::newRow("full")
        << QByteArray(R"({"name":"n","center":{"x":1,"y":2},"radius":3,"pen_width":4,"color":"#60FF4040"})")
        << QPoint(1, 2) << 3 << 4 << QColor(0xFF, 0x40, 0x40, 0x60);
    QTest::newRow("no color") << QByteArray(R"({"center":{"x":1,"y":2}})") << QPoint(1, 2) << 0 << 0
                              << QColor();
    QTest::newRow("no center") << QByteArray(R"({"color":"red"})") << QPoint(0, 0) << 0 << 0
                               << QColor(Qt::red);
    QTest::newRow("bad colour") << QByteArray(R"({"color":"#12"})") << QPoint(0, 0) << 0 << 0 << QColor();
    QTest::newRow("three digits") << QByteArray(R"({"color":"#f00"})") << QPoint(0, 0) << 0 << 0
                                  << QColor(Qt::red);
}

void TestSettings::circleFactory() {
    QFETCH(QByteArray, json);
    QFETCH(QColor, color);
    const Settings::CircleData circle = Settings::CircleData_factory(QJsonDocument::fromJson(json).object());
    QTEST(circle.center, "center");
    QTEST(circle.radius, "radius");
    QTEST(circle.pen_width, "pen_width");
    QCOMPARE(circle.color.isValid(), color.isValid());
    if (color.isValid())
        QCOMPARE(circle.color.rgba(), color.rgba());
}

void TestSettings::documents_data() {
    QTest::addColumn<QString>("document");
    QTest::addColumn<int>("labels");
    QTest::addColumn<int>("circles");

    QTest::newRow("empty object") << "{}" << 0 << 0;
    QTest::newRow("not json") << "labels: nope" << 0 << 0;
    QTest::newRow("labels not an array") << R"({"labels":{"id":"x"},"circles":[{}]})" << 0 << 1;
    QTest::newRow("element not an object") << R"({"labels":[1,{"id":"x"}]})" << 2 << 0;
    QTest::newRow("raw line feed in a string") << "{\"labels\":[{\"text\":\"a\nb\"}]}" << 1 << 0;
}

void TestSettings::documents() {
    QFETCH(QString, document);
    const Settings::GUI gui(document);
    QVERIFY(gui.valid);
    QTEST(int(gui.labels.size()), "labels");
    QTEST(int(gui.circles.size()), "circles");
    if (QTest::currentDataTag() == QLatin1String("element not an object"))
        QCOMPARE(QString(gui.labels.front()), QStringLiteral("Label '': (-1,-1) {} font='':-1: ''"));
    if (QTest::currentDataTag() == QLatin1String("raw line feed in a string"))
        QCOMPARE(gui.labels.front().text, QStringLiteral("a\nb"));
}

void TestSettings::lookUp() {
    const Settings::GUI gui(QStringLiteral(R"({"labels":[{"id":"a","text":"first"},{"id":"a","text":"second"},
                                              {"id":"A","text":"upper"}]})"));
    LogCapture log;
    QCOMPARE(gui.text(QStringLiteral("a")), QStringLiteral("first"));
    QCOMPARE(gui.label(QStringLiteral("a")), &gui.labels[0]);
    QCOMPARE(gui.text(QStringLiteral("A")), QStringLiteral("upper"));
    QVERIFY(log.lines().isEmpty());

    QCOMPARE(gui.text(QStringLiteral("missing")), QString());
    QCOMPARE(log.lines(),
             QStringList{QStringLiteral("warning: No matching label with id \"missing\" found")});
    QVERIFY(!gui.label(QStringLiteral("")));
}

void TestSettings::renderings_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("rendering");
    QTest::newRow("not white") << QByteArray(R"({"id":"a","white":false})")
                               << "Label 'a': (-1,-1) {not-white} font='':-1: ''";
    QTest::newRow("not white, no create") << QByteArray(R"({"id":"a","white":false,"create":false})")
                                          << "Label 'a': (-1,-1) {not-white no-create} font='':-1: ''";
    QTest::newRow("font and size") << QByteArray(R"({"id":"b","position":{"x":1,"y":2},"font":"F","size":9})")
                                   << "Label 'b': (1,2) {} font='F':9: ''";
}

void TestSettings::renderings() {
    QFETCH(QByteArray, json);
    QTEST(QString(Settings::LabelData_factory(QJsonDocument::fromJson(json).object())), "rendering");
}

void TestSettings::streams() {
    LogCapture log;
    Settings::GUI invalid;
    QCOMPARE(QString(invalid), QStringLiteral("GUI settings:\n\tInvalid"));
    const Settings::GUI gui(QStringLiteral(R"({"circles":[{"name":"c"}],"labels":[{"id":"x","text":"t"}]})"));
    QCOMPARE(QString(gui), QStringLiteral("GUI settings:\n\tCircle 'c': (0,0), r=0, w=0, color=#ff000000\n"
                                          "\tLabel 'x': (-1,-1) {} font='':-1: 't'\n"));
    // Records are written quoted, the whole document unquoted; the stream keeps its own settings.
    qInfo() << gui.labels.front() << gui.circles.front() << "after";
    qInfo().noquote() << gui.labels.front() << QStringLiteral("q");
    qInfo() << invalid << QStringLiteral("q");
    QCOMPARE(
        log.lines(),
        (QStringList{
            QStringLiteral("info: \"Label 'x': (-1,-1) {} font='':-1: 't'\" \"Circle 'c': (0,0), r=0, w=0, "
                           "color=#ff000000\" after"),
            QStringLiteral("info: \"Label 'x': (-1,-1) {} font='':-1: 't'\" q"),
            QStringLiteral("info: GUI settings:\n\tInvalid \"q\"")}));
}

void TestSettings::fillText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QString>("filled");

    QTest::newRow("rich text escapes") << "<span>%1 with %2</span>" << QStringList{"Lx-50", "<b>2.3</b> & co"}
                                       << "<span>Lx-50 with &lt;b&gt;2.3&lt;/b&gt; &amp; co</span>";
    QTest::newRow("plain text keeps values") << "Version %1" << QStringList{"a<b>"} << "Version a<b>";
    QTest::newRow("one pass") << "<b>%1 %2</b>" << QStringList{"%2", "x"} << "<b>%2 x</b>";
    QTest::newRow("missing value kept") << "<b>%1 %2</b>" << QStringList{"a"} << "<b>a %2</b>";
    QTest::newRow("no placeholder") << "<b>100%</b>" << QStringList{"a"} << "<b>100%</b>";
}

void TestSettings::fillText() {
    QFETCH(QString, text);
    QFETCH(QStringList, values);
    QTEST(Settings::fill_text(text, values), "filled");
}

void TestSettings::missingFileThrows() {
    bool thrown = false;
    try {
        Settings::make_GUI(QStringLiteral(":resources/no_such_file.json"));
    } catch (const QString& message) {
        thrown = message.contains(QStringLiteral("no_such_file.json"));
    }
    QVERIFY(thrown);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
