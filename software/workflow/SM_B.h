#pragma once

#include "DFU.h"
#include "Device.h"

#include <QSignalTransition>
#include <QState>
#include <QStateMachine>
#include <QString>

class SM_A;

// A signal transition that is taken only when its guard agrees.
class GuardedTransition : public QSignalTransition {
    Q_OBJECT

public:
    using Guard = bool (*)();

    GuardedTransition(const QObject* sender, const char* signal, Guard guard);

    Guard guard;

protected:
    bool eventTest(QEvent* event) override;
};

// The worker's signals as the machine sees them. The machine connects a state's transitions only while
// that state is active, so a worker signal that was queued before the machine caught up would be lost;
// this relay lives on the main thread and is connected for good, so every signal arrives in order and
// meets the state that is active by then.
class WorkerRelay : public QObject {
    Q_OBJECT

public:
    WorkerRelay(SM_A* sm_A, QObject* parent);

signals:
    void sig_NoDevConn();
    void sig_DevConn();
    void sig_FwUploadedDiffers();
    void sig_FwUploadedMatches();
};

// Judges a newly read unit against the desired firmware, offers or withholds the upgrade and hands
// the worker its commands. Runs on the main thread; never touches a widget.
class SM_B : public QStateMachine {
    Q_OBJECT

public:
    SM_B(SM_A* sm_A, Device::Type desired_ID, QString desired_revision);

    void add_connections();
    void enable_debug_output();

    QState* B1;
    QState* B2;
    QState* B3;
    QState* B4;
    QState* B6;
    QState* B7;
    QState* B8;
    QState* B9;

    // Copy of the worker's record of the unit being handled, taken when B1 is left.
    DFU::DeviceInfo device_info;
    // The worker's number of that unit; commands are given for it.
    quint64 device_unit = 0;
    SM_A* sm_A;
    WorkerRelay* worker;

    static Device::Type desired_ID;
    static QString desired_revision;

    // The guards of the transitions out of B1; they read the worker's record through ::sm_A.
    static bool device_has_valid_type();
    static bool device_has_blank_OTP();
    static bool device_has_invalid_type();
    static bool device_needs_upgrade();
    static bool device_is_up_to_date();

public slots:
    void do_download();

signals:
    void sig_UpgradeImpossible();
    void sig_UpgradePossible();
    void sig_DifferingRevision();
    void sig_DoDownload();
    void sig_UploadingVerifying();
    void sig_FwMatches();
    void sig_FwDiffers();
    void sig_DeviceConnected();
    void sig_InvalidProduct();
};

// The program's one decision state machine; set by start-up, deleted by the clean-up after the worker.
extern SM_B* sm_B;
