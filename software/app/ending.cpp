#include "ending.h"

#include "MainWindow.h"
#include "SM_A.h"
#include "Settings.h"
#include "startup.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaObject>

namespace {

// Exit status of an end that waits for a running download; -1 when none waits.
int pending_exit = -1;

// Stops the worker; false while a download runs, which then ends the worker when it is done.
bool worker_stops_now() {
    if (!sm_A)
        return true;
    sm_A->do_stop();
    return !sm_A->is_downloading();
}

void say_finishing(const char* what) {
    qInfo() << "The upgrade is being written:" << what << "once it has finished; keep the unit connected";
    if (mainWindow)
        mainWindow->setStatusText(settings.gui.text(QStringLiteral("status_finishing")));
}

// True when the program may end now; otherwise it ends with `exit_code` once the download is done.
bool begin_ending(int exit_code) {
    if (worker_stops_now())
        return true;
    if (pending_exit < 0)
        say_finishing("the program ends");
    pending_exit = exit_code;
    return false;
}

void quit(int exit_code) {
    QMetaObject::invokeMethod(
        qApp, [exit_code] { QCoreApplication::exit(exit_code); }, Qt::QueuedConnection);
}

} // namespace

void prepare_ending() {
    if (mainWindow)
        mainWindow->closeGuard = [] { return !begin_ending(0); };
    if (sm_A)
        QObject::connect(sm_A, &QThread::finished, qApp, [] {
            if (pending_exit < 0)
                return;
            qInfo() << "The download has ended";
            quit(pending_exit);
        });
}

void end_program(int exit_code) {
    if (begin_ending(exit_code))
        quit(exit_code);
}

void stop_worker() {
    qInfo() << "Trying to stop sm_A";
    if (!sm_A)
        return;
    if (!worker_stops_now()) {
        say_finishing("the worker stops");
        return;
    }
    // Every tool run but a download ends at once on a stop request.
    if (!sm_A->wait(1000)) {
        qWarning() << "Oops, SM_A not dead yet";
        sm_A->wait();
    }
}
