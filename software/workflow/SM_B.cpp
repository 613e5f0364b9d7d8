#include "SM_B.h"

#include "SM_A.h"
#include "support_misc.h"

#include <QDebug>

#include <cstdio>

SM_B* sm_B = nullptr;

Device::Type SM_B::desired_ID = Device::Type(0);
QString SM_B::desired_revision;

GuardedTransition::GuardedTransition(const QObject* sender, const char* signal, Guard guard)
    : QSignalTransition(sender, signal), guard(guard) {}

bool GuardedTransition::eventTest(QEvent* event) {
    return QSignalTransition::eventTest(event) && guard();
}

WorkerRelay::WorkerRelay(SM_A* sm_A, QObject* parent) : QObject(parent) {
    connect(sm_A, &SM_A::sig_NoDevConn, this, &WorkerRelay::sig_NoDevConn);
    connect(sm_A, &SM_A::sig_DevConn, this, &WorkerRelay::sig_DevConn);
    connect(sm_A, &SM_A::sig_FwUploadedDiffers, this, &WorkerRelay::sig_FwUploadedDiffers);
    connect(sm_A, &SM_A::sig_FwUploadedMatches, this, &WorkerRelay::sig_FwUploadedMatches);
}

bool SM_B::device_has_valid_type() {
    const DFU::DeviceInfo& info = ::sm_A->device_info;
    std::printf("device_has_valid_type(%i): valid %i, device_type: %i\n", int(desired_ID), int(info.valid),
                int(info.device_type));
    std::fflush(stdout);
    return info.valid && info.device_type == desired_ID;
}

bool SM_B::device_has_blank_OTP() {
    return ::sm_A->device_info.OTP_info.blank;
}

bool SM_B::device_has_invalid_type() {
    return ::sm_A->device_info.valid && !device_has_valid_type();
}

bool SM_B::device_needs_upgrade() {
    const DFU::DeviceInfo& info = ::sm_A->device_info;
    return device_has_valid_type() && !(info.valid && info.FW_revision == desired_revision);
}

bool SM_B::device_is_up_to_date() {
    const DFU::DeviceInfo& info = ::sm_A->device_info;
    return device_has_valid_type() && info.valid && info.FW_revision == desired_revision;
}

SM_B::SM_B(SM_A* sm_A, Device::Type desired_ID, QString desired_revision)
    : QStateMachine(nullptr), sm_A(sm_A), worker(new WorkerRelay(sm_A, this)) {
    SM_B::desired_ID = desired_ID;
    SM_B::desired_revision = std::move(desired_revision);

    const auto make_state = [this](const char* name) {
        QState* state = new QState();
        state->setObjectName(QString::fromLatin1(name));
        addState(state);
        return state;
    };
    B1 = make_state("B1: No (DFU-SE) dev. conn.");
    B2 = make_state("B2: Conn. to (DFU-SE) dev. with diff. FW rev.");
    B3 = make_state("B3: Upgrading FW");
    B4 = make_state("B4: Uploading and verifying FW");
    B6 = make_state("B6: FW in dev. matches");
    B7 = make_state("B7: FW in dev. differs");
    B8 = make_state("B8: Invalid (DFU-SE) dev. conn.");
    B9 = make_state("B9: Conn. to (DFU-SE) dev. with Empty OTP.");
    setInitialState(B1);

    // Tried in this order; the first guard that holds wins.
    const auto guarded = [this](GuardedTransition::Guard guard, QState* target) {
        auto* transition = new GuardedTransition(worker, SIGNAL(sig_DevConn()), guard);
        transition->setTargetState(target);
        B1->addTransition(transition);
    };
    guarded(&SM_B::device_has_blank_OTP, B9);
    guarded(&SM_B::device_has_invalid_type, B8);
    guarded(&SM_B::device_needs_upgrade, B2);
    guarded(&SM_B::device_is_up_to_date, B4);

    B2->addTransition(this, &SM_B::sig_DoDownload, B3);
    B2->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);
    B3->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);
    B4->addTransition(worker, &WorkerRelay::sig_FwUploadedMatches, B6);
    B4->addTransition(worker, &WorkerRelay::sig_FwUploadedDiffers, B7);
    // The unit is gone before its verification ended: no verdict will come for it.
    B4->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);
    B6->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);
    B7->addTransition(this, &SM_B::sig_DoDownload, B3);
    B7->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);
    B8->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);
    B9->addTransition(this, &SM_B::sig_DoDownload, B3);
    B9->addTransition(worker, &WorkerRelay::sig_NoDevConn, B1);

    add_connections();
}

void SM_B::add_connections() {
    connect(B1, &QState::entered, this, [this] {
        emit sig_UpgradeImpossible();
        device_info = DFU::DeviceInfo();
        device_unit = 0;
    });
    connect(B1, &QState::exited, this, [this] {
        device_info = sm_A->device_info;
        device_unit = sm_A->device_info_unit;
        qInfo().noquote() << "Device connected with:\n" << device_info;
        emit sig_DeviceConnected();
    });
    connect(B2, &QState::entered, this, [this] {
        emit sig_UpgradePossible();
        emit sig_DifferingRevision();
    });
    connect(B9, &QState::entered, this, [this] {
        if (have_service_build())
            emit sig_UpgradePossible();
        else
            emit sig_UpgradeImpossible();
        emit sig_DifferingRevision();
    });
    connect(B3, &QState::entered, this, [this] { sm_A->set_command(SM_A::download, device_unit); });
    connect(B4, &QState::entered, this, [this] {
        emit sig_UploadingVerifying();
        sm_A->set_command(SM_A::upload_and_verify, device_unit);
    });
    connect(B6, &QState::entered, this, [this] { emit sig_FwMatches(); });
    connect(B7, &QState::entered, this, [this] {
        emit sig_UpgradePossible();
        emit sig_FwDiffers();
    });
    connect(B8, &QState::entered, this, [this] { emit sig_InvalidProduct(); });
}

void SM_B::enable_debug_output() {
    qInfo() << "SM_B: Add connections to show emitted signals";
    const auto log_signal = [this](void (SM_B::*signal)(), const char* name) {
        const QString text = QStringLiteral("SM_B: /sig_%1").arg(QString::fromLatin1(name));
        connect(this, signal, this, [text] { qDebug() << text; });
    };
    log_signal(&SM_B::sig_UpgradeImpossible, "UpgradeImpossible");
    log_signal(&SM_B::sig_UpgradePossible, "UpgradePossible");
    log_signal(&SM_B::sig_DifferingRevision, "DifferingRevision");
    log_signal(&SM_B::sig_DoDownload, "DoDownload");
    log_signal(&SM_B::sig_UploadingVerifying, "UploadingVerifying");
    log_signal(&SM_B::sig_FwMatches, "FwMatches");
    log_signal(&SM_B::sig_FwDiffers, "FwDiffers");
    log_signal(&SM_B::sig_DeviceConnected, "DeviceConnected");
    log_signal(&SM_B::sig_InvalidProduct, "InvalidProduct");

    for (QState* state : {B1, B2, B3, B4, B6, B7, B8}) {
        const QString text = QStringLiteral("SM_B: entered %1").arg(state->objectName());
        connect(state, &QState::entered, this, [text] { qDebug() << text; });
    }
}

void SM_B::do_download() {
    emit sig_DoDownload();
}
