#include "program_life.h"

#include "startup.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace program_life {

namespace {

// Self-pipe: the handler writes the signal's number, the main thread reads it from the other end.
int signal_pipe[2] = {-1, -1};

void on_termination_signal(int signo) {
    const int saved_errno = errno;
    const char number = char(signo);
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe[1], &number, 1);
    errno = saved_errno;
}

void read_signals() {
    char number = 0;
    while (::read(signal_pipe[0], &number, 1) == 1) {
        const int signo = number;
        qInfo() << "Received signal" << signo;
        end_program(128 + signo);
    }
}

const QByteArray front_request = QByteArrayLiteral("front\n");
const QByteArray front_done = QByteArrayLiteral("done\n");

std::unique_ptr<QLockFile> instance_lock;

void answer_later_starts(const QString& socket_path, std::function<void()> bring_to_front) {
    auto* server = new QLocalServer(qApp);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // We hold the lock, so a socket file there was left by a program that was killed.
    QLocalServer::removeServer(socket_path);
    if (!server->listen(socket_path)) {
        qWarning() << "Cannot listen for later starts on" << socket_path << ":" << server->errorString();
        delete server;
        return;
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [server, bring_to_front] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, bring_to_front] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > front_request.size())
                        socket->abort();
                    return;
                }
                if (socket->readLine(front_request.size() + 1) == front_request) {
                    qInfo() << "Another start of the program was refused; bringing the window to the front.";
                    bring_to_front();
                    socket->write(front_done);
                    socket->flush();
                }
                socket->disconnectFromServer();
            });
        }
    });
}

// The running program may still be starting (not listening yet, or its event loop not running yet).
bool ask_to_bring_to_front(const QString& socket_path) {
    QDeadlineTimer deadline(5000);
    QLocalSocket socket;
    while (true) {
        socket.connectToServer(socket_path);
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
    socket.write(front_request);
    QByteArray answer;
    while (!answer.endsWith('\n') && socket.waitForReadyRead(int(deadline.remainingTime())))
        answer += socket.readAll();
    return answer == front_done;
}

} // namespace

void handle_termination_signals() {
    if (signal_pipe[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signal_pipe) != 0) {
        qWarning() << "Cannot watch for termination signals:" << std::strerror(errno);
        return;
    }
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, &read_signals);

    struct sigaction action = {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous = {};
        if (::sigaction(signo, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signo, &action, nullptr);
    }
}

bool claim_single_instance(std::function<void()> bring_to_front) {
    const QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (directory.isEmpty()) {
        qWarning() << "No runtime directory: a program that runs already would go unnoticed.";
        return true;
    }
    const QString lock_path = directory + QStringLiteral("/veltaro-upgrade.lock");
    const QString socket_path = directory + QStringLiteral("/veltaro-upgrade.socket");
    auto lock = std::make_unique<QLockFile>(lock_path);
    // Only a gone owner makes the lock stale, never its age.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        instance_lock = std::move(lock);
        answer_later_starts(socket_path, std::move(bring_to_front));
        return true;
    }
    if (lock->error() != QLockFile::LockFailedError) {
        qWarning() << "Cannot take the lock" << lock_path
                   << "- a program that runs already would go unnoticed; error" << lock->error();
        return true;
    }
    const bool brought = ask_to_bring_to_front(socket_path);
    std::fprintf(
        stderr, "%s\n",
        brought ? "Veltaro Firmware Upgrade Tool is already running; its window was brought to the front."
                : "Veltaro Firmware Upgrade Tool is already running.");
    return false;
}

} // namespace program_life
