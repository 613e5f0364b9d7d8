#include "LogWindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

// Redirects file descriptor 2 into a temporary file while it lives.
class StderrCapture {
public:
    StderrCapture() {
        file_.open();
        std::fflush(stderr);
        saved_ = dup(2);
        dup2(file_.handle(), 2);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }
    QString text() {
        std::fflush(stderr);
        QFile f(file_.fileName());
        f.open(QIODevice::ReadOnly);
        return QString::fromLocal8Bit(f.readAll());
    }

private:
    QTemporaryFile file_;
    int saved_ = -1;
};

// Installs the log window's handler over the test framework's one while it lives.
class HandlerInstalled {
public:
    explicit HandlerInstalled(LogWindow* window) {
        logWindow = window;
        previous_ = qInstallMessageHandler(logWindowMessageHandler);
    }
    ~HandlerInstalled() { qInstallMessageHandler(previous_); }

private:
    QtMessageHandler previous_;
};

// Calls answer with the next modal widget that appears (polled, as modal dialogs block the caller).
void answerModal(std::function<void(QWidget*)> answer) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        }
    });
    timer->start();
}

void answerFileDialog(QWidget* modal, const QString& path) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    QVERIFY(dialog);
    if (path.isEmpty()) {
        dialog->reject();
        return;
    }
    dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(path);
    QMetaObject::invokeMethod(dialog, "accept");
}

} // namespace

class TestLogWindow : public QObject {
    Q_OBJECT
private slots:
    void linesAndEcho_data();
    void linesAndEcho();
    void echoLine_data();
    void echoLine();
    void markupShownAsText();
    void otherThreadReachesDialog();
    void noWindowDropsMessages();
    void keysAndClose();
    void toggleBesideMainWindow();
    void buttons();
    void saveCancelled();
    void saveWritesText();
    void saveErrorBox();
};

void TestLogWindow::linesAndEcho_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("echo");
    QTest::newRow("debug") << int(QtDebugMsg) << "Debug: abc"
                           << "Debug: abc (";
    QTest::newRow("info") << int(QtInfoMsg) << "abc"
                          << "Info: abc (";
    QTest::newRow("warning") << int(QtWarningMsg) << "Warning: abc"
                             << "Warning: abc (";
    QTest::newRow("critical") << int(QtCriticalMsg) << "CRITICAL: abc"
                              << "Critical: abc (";
}

void TestLogWindow::linesAndEcho() {
    QFETCH(int, type);
    LogWindow window;
    window.dialog->browser->append(QStringLiteral("earlier"));
    StderrCapture err;
    {
        HandlerInstalled handler(&window);
        switch (QtMsgType(type)) {
        case QtDebugMsg:
            qDebug("abc");
            break;
        case QtInfoMsg:
            qInfo("abc");
            break;
        case QtWarningMsg:
            qWarning("abc");
            break;
        default:
            qCritical("abc");
            break;
        }
    }
    // Main-thread messages are shown at once, inside the logging call.
    QFETCH(QString, line);
    QCOMPARE(window.dialog->browser->toPlainText(), QStringLiteral("earlier\n") + line);
    QFETCH(QString, echo);
    QVERIFY2(err.text().startsWith(echo), qPrintable(err.text()));
    QVERIFY(err.text().endsWith(QLatin1Char('\n')));
}

void TestLogWindow::echoLine_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QString>("echo");
    QTest::newRow("no context") << QByteArray() << 0 << QByteArray() << "Warning: abc (no file, no function)";
    QTest::newRow("full context") << QByteArray("a.cpp") << 12 << QByteArray("void f()")
                                  << "Warning: abc (a.cpp:12, void f())";
    QTest::newRow("file only") << QByteArray("a.cpp") << 3 << QByteArray()
                               << "Warning: abc (a.cpp:3, no function)";
}

void TestLogWindow::echoLine() {
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QByteArray, function);
    const QMessageLogContext context(file.isEmpty() ? nullptr : file.constData(), line,
                                     function.isEmpty() ? nullptr : function.constData(), "default");
    LogWindowDialog dialog;
    StderrCapture err;
    dialog.outputMessage(QtWarningMsg, context, QStringLiteral("abc"));
    QFETCH(QString, echo);
    QCOMPARE(err.text(), echo + QLatin1Char('\n'));
}

void TestLogWindow::markupShownAsText() {
    LogWindowDialog dialog;
    StderrCapture err;
    dialog.outputMessage(QtInfoMsg, QMessageLogContext(), QStringLiteral("rev <b>2.4</b> &amp;"));
    QCOMPARE(dialog.browser->toPlainText(), QStringLiteral("rev <b>2.4</b> &amp;"));
}

void TestLogWindow::otherThreadReachesDialog() {
    LogWindow window;
    QThread* appendedOn = nullptr;
    connect(
        window.dialog->browser->document(), &QTextDocument::contentsChanged, this,
        [&appendedOn] { appendedOn = QThread::currentThread(); }, Qt::DirectConnection);
    StderrCapture err;
    HandlerInstalled handler(&window);
    QThread* worker = QThread::create([] {
        qDebug() << "SM_A: from the worker";
        qWarning("worker warning");
    });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    QTRY_COMPARE_WITH_TIMEOUT(window.dialog->browser->toPlainText(),
                              QStringLiteral("Debug: SM_A: from the worker\nWarning: worker warning"), 5000);
    QCOMPARE(appendedOn, QThread::currentThread());
    const QString echo = err.text();
    QVERIFY2(echo.contains(QStringLiteral("Debug: SM_A: from the worker (")), qPrintable(echo));
    QVERIFY2(echo.contains(QStringLiteral("Warning: worker warning (")), qPrintable(echo));
}

void TestLogWindow::noWindowDropsMessages() {
    StderrCapture err;
    {
        HandlerInstalled handler(nullptr);
        qWarning("dropped");
    }
    QCOMPARE(err.text(), QString());
}

void TestLogWindow::keysAndClose() {
    LogWindow window;
    window.dialog->browser->append(QStringLiteral("kept"));
    window.toggle_visibility(nullptr);
    QVERIFY(window.dialog->isVisible());
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(window.dialog, key);
        QVERIFY(window.dialog->isVisible());
    }
    QPointer<LogWindowDialog> dialog = window.dialog;
    QVERIFY(window.dialog->close());
    QVERIFY(!window.dialog->isVisible());
    QApplication::processEvents();
    QVERIFY(dialog); // hidden, not destroyed
    window.toggle_visibility(nullptr);
    QVERIFY(window.dialog->isVisible());
    QCOMPARE(window.dialog->browser->toPlainText(), QStringLiteral("kept"));
}

void TestLogWindow::toggleBesideMainWindow() {
    QMainWindow main;
    main.setGeometry(100, 80, 300, 200);
    LogWindow window;
    QCOMPARE(window.dialog->size(), QSize(600, 400));
    window.toggle_visibility(&main);
    QVERIFY(window.dialog->isVisible());
    QCOMPARE(window.dialog->geometry(), QRect(399, 80, 600, 400));
    window.toggle_visibility(&main);
    QVERIFY(!window.dialog->isVisible());
}

void TestLogWindow::buttons() {
    LogWindow window;
    QCOMPARE(window.dialog->clearButton->text(), QStringLiteral("clear"));
    QCOMPARE(window.dialog->saveButton->text(), QStringLiteral("save output"));
    QCOMPARE(window.dialog->hideButton->text(), QStringLiteral("hide log"));
    window.dialog->browser->append(QStringLiteral("x"));
    window.toggle_visibility(nullptr);
    window.dialog->clearButton->click();
    QCOMPARE(window.dialog->browser->toPlainText(), QString());
    window.dialog->hideButton->click();
    QVERIFY(!window.dialog->isVisible());
}

void TestLogWindow::saveCancelled() {
    LogWindowDialog dialog;
    dialog.browser->append(QStringLiteral("text"));
    dialog.show();
    QString caption;
    bool asked = false;
    answerModal([&](QWidget* modal) {
        asked = true;
        caption = modal->windowTitle();
        answerFileDialog(modal, QString());
    });
    dialog.saveButton->click();
    QVERIFY(asked);
    QCOMPARE(caption, QStringLiteral("Save Log Output"));
    QApplication::processEvents();
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(QApplication::topLevelWidgets().size() >= 1);
    for (QWidget* w : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<QMessageBox*>(w) || !w->isVisible());
}

void TestLogWindow::saveWritesText() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.txt"));
    LogWindowDialog dialog;
    dialog.browser->append(QStringLiteral("one"));
    dialog.browser->append(QStringLiteral("two"));
    dialog.show();
    answerModal([&](QWidget* modal) { answerFileDialog(modal, path); });
    dialog.saveButton->click();
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("one\ntwo"));
}

void TestLogWindow::saveErrorBox() {
    // A "directory" that is a regular file cannot hold the log file, whoever runs the test.
    QTemporaryDir dir;
    QFile plain(dir.filePath(QStringLiteral("plain")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QString path = dir.filePath(QStringLiteral("plain/logfile.txt"));

    LogWindowDialog dialog;
    dialog.browser->append(QStringLiteral("kept"));
    dialog.show();
    QString title, text;
    answerModal([&](QWidget* modal) {
        answerFileDialog(modal, path);
        answerModal([&](QWidget* box) {
            auto* message = qobject_cast<QMessageBox*>(box);
            QVERIFY(message);
            title = message->windowTitle();
            text = message->text();
            QCOMPARE(message->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
            message->button(QMessageBox::Ok)->click();
        });
    });
    dialog.saveButton->click();
    QCOMPARE(title, QStringLiteral("Error"));
    QVERIFY2(text.contains(QStringLiteral("File '") + path +
                           QStringLiteral("'<br/>cannot be opened for writing.")),
             qPrintable(text));
    QCOMPARE(dialog.browser->toPlainText(), QStringLiteral("kept"));
}

QTEST_MAIN(TestLogWindow)
#include "tst_logwindow.moc"
