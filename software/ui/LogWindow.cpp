#include "LogWindow.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextStream>
#include <QThread>
#include <QVBoxLayout>

#include <cstdio>
#include <cstdlib>

QPointer<LogWindow> logWindow;

LogMessage LogMessage::from(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    LogMessage message;
    message.type = type;
    message.text = text;
    message.file = QByteArray(context.file);
    message.line = context.line;
    message.function = QByteArray(context.function);
    return message;
}

LogWindowDialog::LogWindowDialog(QWidget* parent)
    : QDialog(parent), browser(new QTextBrowser(this)),
      clearButton(new QPushButton(QStringLiteral("clear"), this)),
      saveButton(new QPushButton(QStringLiteral("save output"), this)),
      hideButton(new QPushButton(QStringLiteral("hide log"), this)) {
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch(10);
    buttons->addWidget(clearButton);
    buttons->addWidget(saveButton);
    buttons->addWidget(hideButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(browser);
    layout->addLayout(buttons);
    resize(600, 400);

    connect(clearButton, &QPushButton::clicked, browser, &QTextBrowser::clear);
    connect(saveButton, &QPushButton::clicked, this, &LogWindowDialog::save);
    connect(hideButton, &QPushButton::clicked, this, &LogWindowDialog::hide);
}

QByteArray LogWindowDialog::echoLine(const LogMessage& message) {
    const char* level = nullptr;
    switch (message.type) {
    case QtDebugMsg:
        level = "Debug";
        break;
    case QtInfoMsg:
        level = "Info";
        break;
    case QtWarningMsg:
        level = "Warning";
        break;
    case QtCriticalMsg:
        level = "Critical";
        break;
    case QtFatalMsg:
        level = "Fatal";
        break;
    }
    if (!level)
        return QByteArray();
    // The program's own messages carry no file or function; say so instead of printing "(null)".
    const QByteArray where = message.file.isEmpty() ? QByteArrayLiteral("no file")
                                                    : message.file + ':' + QByteArray::number(message.line);
    const QByteArray function =
        message.function.isEmpty() ? QByteArrayLiteral("no function") : message.function;
    return QByteArray(level) + ": " + message.text.toLocal8Bit() + " (" + where + ", " + function + ')';
}

void LogWindowDialog::outputMessage(const LogMessage& message) {
    QString line;
    switch (message.type) {
    case QtDebugMsg:
        line = tr("Debug: %1").arg(message.text);
        break;
    case QtInfoMsg:
        line = tr("%1").arg(message.text);
        break;
    case QtWarningMsg:
        line = tr("Warning: %1").arg(message.text);
        break;
    case QtCriticalMsg:
        line = tr("CRITICAL: %1").arg(message.text);
        break;
    case QtFatalMsg:
        line = tr("FATAL: %1").arg(message.text);
        break;
    default:
        return;
    }
    // Appended as plain text: log lines may hold markup (window texts, bytes read from a unit) that must
    // show as written.
    QTextCursor cursor(browser->document());
    cursor.movePosition(QTextCursor::End);
    if (!browser->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    browser->moveCursor(QTextCursor::End);
    browser->ensureCursorVisible();

    std::fprintf(stderr, "%s\n", echoLine(message).constData());
    if (message.type == QtFatalMsg)
        std::abort();
}

void LogWindowDialog::outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    outputMessage(LogMessage::from(type, context, msg));
}

void LogWindowDialog::save() {
    const QString fileName =
        QFileDialog::getSaveFileName(this, tr("Save Log Output"), tr("%1/logfile.txt").arg(QDir::homePath()),
                                     tr("Text Files (*.txt);;All Files (*)"));
    if (fileName.isEmpty())
        return;
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QMessageBox::warning(this, tr("Error"),
                             tr("<nobr>File '%1'<br/>cannot be opened for writing.<br/><br/>"
                                "The log output could <b>not</b> be saved!</nobr>")
                                 .arg(fileName.toHtmlEscaped()),
                             QMessageBox::Ok);
        return;
    }
    QTextStream out(&file);
    out << browser->toPlainText();
}

void LogWindowDialog::closeEvent(QCloseEvent* event) {
    event->accept();
}

void LogWindowDialog::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}

LogWindow::LogWindow(QObject* parent) : QObject(parent), dialog(new LogWindowDialog(nullptr)) {
    qRegisterMetaType<LogMessage>();
    connect(this, &LogWindow::sendMessage, dialog,
            qOverload<const LogMessage&>(&LogWindowDialog::outputMessage));
}

LogWindow::~LogWindow() {
    delete dialog;
}

void LogWindow::outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    emit sendMessage(LogMessage::from(type, context, msg));
}

void LogWindow::toggle_visibility(QMainWindow* mainWindow) {
    if (dialog->isVisible()) {
        dialog->hide();
        return;
    }
    dialog->show();
    if (mainWindow) {
        const QRect main = mainWindow->geometry();
        dialog->setGeometry(QRect(QPoint(main.right(), main.top()), dialog->size()));
    }
}

void logWindowMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    LogWindow* window = logWindow.data();
    if (!window)
        return;
    // Qt aborts right after this handler returns a fatal message; a queued call would never arrive.
    if (type == QtFatalMsg && QThread::currentThread() != window->thread()) {
        std::fprintf(stderr, "%s\n",
                     LogWindowDialog::echoLine(LogMessage::from(type, context, msg)).constData());
        return;
    }
    window->outputMessage(type, context, msg);
}
