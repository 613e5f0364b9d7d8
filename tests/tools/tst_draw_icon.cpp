// The icon generator: a 128 px PNG with a transparent surround, and an SVG of the same picture that an
// icon theme can load (well-formed, 128 units square, every gradient it refers to defined).

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

class TestDrawIcon : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString png_;
    QString svg_;

private slots:
    void initTestCase() {
        png_ = dir_.filePath("icon.png");
        svg_ = dir_.filePath("icon.svg");
        QProcess p;
        p.start(UPGRADE_BINARY_DIR "/tools/draw_icon", {png_, svg_});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 0);
    }

    void pngIsTheThemeSize() {
        const QImage image(png_);
        QCOMPARE(image.size(), QSize(128, 128));
        QVERIFY(image.hasAlphaChannel());
        for (const QPoint corner : {QPoint(0, 0), QPoint(127, 0), QPoint(0, 127), QPoint(127, 127)})
            QCOMPARE(qAlpha(image.pixel(corner)), 0);
        QCOMPARE(qAlpha(image.pixel(64, 64)), 255);
    }

    void svgIsWellFormed() {
        QFile file(svg_);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QSet<QString> defined;
        QSet<QString> referred;
        QStringList shapes;
        const QRegularExpression url(QStringLiteral("^url\\(#(.+)\\)$"));
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QXmlStreamAttributes a = xml.attributes();
            if (xml.name() == QLatin1String("svg")) {
                QCOMPARE(xml.namespaceUri().toString(), QStringLiteral("http://www.w3.org/2000/svg"));
                QCOMPARE(a.value("viewBox").toString(), QStringLiteral("0 0 128 128"));
            }
            if (a.hasAttribute("id"))
                defined << a.value("id").toString();
            const QRegularExpressionMatch m = url.match(a.value("fill").toString());
            if (m.hasMatch())
                referred << m.captured(1);
            if (xml.name() == QLatin1String("circle") || xml.name() == QLatin1String("rect") ||
                xml.name() == QLatin1String("polygon"))
                shapes << xml.name().toString();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QVERIFY(!shapes.isEmpty());
        QVERIFY(!referred.isEmpty());
        QVERIFY(defined.contains(referred));
    }
};

QTEST_GUILESS_MAIN(TestDrawIcon)
#include "tst_draw_icon.moc"
