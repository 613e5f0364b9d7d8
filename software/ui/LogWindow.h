#pragma once

#include <QByteArray>
#include <QDialog>
#include <QMainWindow>
#include <QMetaType>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QtGlobal>

class QCloseEvent;
class QKeyEvent;
class QPushButton;
class QTextBrowser;

// One logged message as plain values, so that it can cross threads in a queued call
// (QMessageLogContext cannot be copied).
struct LogMessage {
    QtMsgType type = QtDebugMsg;
    QString text;
    QByteArray file; // empty when the message carries no file name
    int line = 0;
    QByteArray function; // empty when the message carries no function name

    static LogMessage from(QtMsgType type, const QMessageLogContext& context, const QString& text);
};
Q_DECLARE_METATYPE(LogMessage)

// The dialog that shows the log and echoes every message on standard error. Touched on the main
// thread only.
class LogWindowDialog : public QDialog {
    Q_OBJECT
public:
    explicit LogWindowDialog(QWidget* parent = nullptr);

    QTextBrowser* browser;
    QPushButton* clearButton;
    QPushButton* saveButton;
    QPushButton* hideButton;

    // The standard-error line of a message, without its line feed.
    static QByteArray echoLine(const LogMessage& message);

public slots:
    void outputMessage(const LogMessage& message);
    void outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg);

protected slots:
    void save();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

// Owns the log dialog and forwards messages to it from any thread: sendMessage carries plain values, so
// a message logged on another thread reaches the dialog queued, on the main thread.
class LogWindow : public QObject {
    Q_OBJECT
public:
    explicit LogWindow(QObject* parent = nullptr);
    ~LogWindow() override;

    LogWindowDialog* dialog;

signals:
    void sendMessage(const LogMessage& message);

public slots:
    // Callable on any thread.
    void outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg);
    // Opens the dialog beside mainWindow (or where it was, without one), or hides it.
    void toggle_visibility(QMainWindow* mainWindow);
};

// The program's one log window; null until start-up creates it and after it is destroyed.
extern QPointer<LogWindow> logWindow;

// Qt message handler: hands every message, from any thread, to logWindow; drops it when there is none.
void logWindowMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg);
