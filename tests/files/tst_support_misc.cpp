#include "support_misc.h"

#include "../common/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class TestSupportMisc : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

    QString write(const QString& name, const QByteArray& bytes) {
        const QString path = dir_.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return path;
    }

private slots:
    void ensureFileIsDeleted() {
        const QString file = write("stale.bin", "x");
        support_misc::ensure_file_is_deleted(file);
        QVERIFY(!QFile::exists(file));
        support_misc::ensure_file_is_deleted(file); // missing: nothing happens

        QVERIFY(QDir(dir_.path()).mkdir("adir"));
        support_misc::ensure_file_is_deleted(dir_.filePath("adir"));
        QVERIFY(QFileInfo(dir_.filePath("adir")).isDir());
    }

    void markFileExecutable() {
        const QString file = write("tool", "#!/bin/sh\n");
        QVERIFY(::chmod(QFile::encodeName(file).constData(), 0444) == 0);
        LogCapture log;
        QVERIFY(support_misc::mark_file_executable(file));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), 0555);
        QCOMPARE(log.lines(), QStringList{"debug: Changing file permissions to make it executable: \"" + file + "\""});

        log.clear();
        const QString missing = dir_.filePath("missing");
        QVERIFY(!support_misc::mark_file_executable(missing));
        QCOMPARE(log.lines(), QStringList{"warning: Failed to mark file (doesn't exist) as executable: \"" + missing + "\""});
    }

    void loadTextFile() {
        QCOMPARE(support_misc::load_text_file(write("nul.txt", QByteArray("ab\0cd", 5))), QString("ab"));
        QCOMPARE(support_misc::load_text_file(write("utf8.txt", "gr\xc3\xbc\xc3\x9f\n")), QString::fromUtf8("grüß\n"));
        const QString missing = dir_.filePath("missing.txt");
        try {
            support_misc::load_text_file(missing);
            QFAIL("no exception");
        } catch (const QString& text) {
            QCOMPARE(text, "Couldn't open file: " + missing);
        }
    }

    void removeCarriageReturns() {
        QCOMPARE(support_misc::remove_carriage_returns("a\r\nb\r", QChar(13)), QString("a\nb"));
        QCOMPARE(support_misc::remove_carriage_returns("aAa", QChar('a')), QString("A"));
        QCOMPARE(support_misc::maybe_use_file_instead_of_resource(":resources/x"), QString(":resources/x"));
    }

    void platform_data() {
        QTest::addColumn<int>("platform");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<bool>("isThisBuild");
        QTest::newRow("Linux") << int(support_misc::Linux) << "Linux" << true;
        QTest::newRow("macOS") << int(support_misc::macOS) << "macOS" << false;
        QTest::newRow("windows") << int(support_misc::windows) << "windows" << false;
        QTest::newRow("unknown") << int(support_misc::unknown) << "unknown" << false;
        QTest::newRow("outside") << 7 << "" << false;
    }
    void platform() {
        QFETCH(int, platform);
        QFETCH(QString, printed);
        QFETCH(bool, isThisBuild);
        QString text;
        // The quoting of the stream is left as it was: the string after it is still quoted.
        QDebug(&text) << support_misc::Platform(platform) << QString("q");
        QCOMPARE(text.trimmed(), (printed + " \"q\"").trimmed());
        QCOMPARE(support_misc::compiled_for_platform(support_misc::Platform(platform)), isThisBuild);
    }

    void buildSwitches() {
        QCOMPARE(support_misc::compiled_for_platform(), support_misc::Linux);
#ifdef SERVICE_BUILD
        QVERIFY(have_service_build());
#else
        QVERIFY(!have_service_build());
#endif
#ifdef DEBUG
        QVERIFY(support_misc::compiled_w_DEBUG);
#else
        QVERIFY(!support_misc::compiled_w_DEBUG);
#endif
    }

    void showResourcesListsTheTree() {
        LogCapture log;
        support_misc::show_resources();
        QVERIFY(log.contains("\":resources/firmware.bin\""));
        QVERIFY(log.contains("\":resources/settings_GUI.json\""));
    }
};

QTEST_GUILESS_MAIN(TestSupportMisc)
#include "tst_support_misc.moc"
