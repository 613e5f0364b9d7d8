#include "SM_A.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QMetaObject>
#include <QMutexLocker>

SM_A* sm_A = nullptr;

namespace {

// Of a run of polling signals only the first is logged.
bool last_was_repeating = false;

void debug_signal(const QString& name, bool repeating) {
    const bool polling = name == QLatin1String("NoDevConn") || name == QLatin1String("scanning");
    if (!(last_was_repeating && polling))
        qDebug() << QString(QStringLiteral("SM_A: /sig_") + name);
    last_was_repeating = repeating;
}

bool finds_one_unit(const DFU::ScanResult& scan) {
    return scan.code == 0 && scan.devices.size() == 1;
}

} // namespace

SM_A::SM_A(QString desired_FW_dfu_path, QString desired_FW_bin_path, QString uploaded_FW_bin_path,
           QObject* parent)
    : QThread(parent), desired_FW_dfu_path(std::move(desired_FW_dfu_path)),
      desired_FW_bin_path(std::move(desired_FW_bin_path)),
      uploaded_FW_bin_path(std::move(uploaded_FW_bin_path)) {
    qDebug() << "SM_A created";
}

SM_A::~SM_A() {
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        stop_requested.wakeAll();
    }
    qDebug() << "SM_A: Waiting in dtor";
    wait();
}

void SM_A::set_command(Command new_command) {
    set_command(new_command, device_info_unit);
}

void SM_A::set_command(Command new_command, quint64 unit) {
    QMutexLocker lock(&mutex);
    command = new_command;
    command_unit = unit;
    stop_requested.wakeAll();
}

SM_A::Command SM_A::get_command() {
    QMutexLocker lock(&mutex);
    return command;
}

void SM_A::do_stop() {
    QMutexLocker lock(&mutex);
    stopping = true;
    stop_requested.wakeAll();
}

bool SM_A::is_stopping() {
    QMutexLocker lock(&mutex);
    return stopping;
}

bool SM_A::pause(int ms, bool until_command) {
    QMutexLocker lock(&mutex);
    QDeadlineTimer deadline(ms);
    // The wait releases the mutex, so set_command and do_stop are never held up by a sleep.
    while (!stopping && !(until_command && command != no_command) && !deadline.hasExpired())
        stop_requested.wait(&mutex, deadline);
    return stopping;
}

// The main thread gets its own copy, queued ahead of sig_DevConn(): whatever the worker does next, the
// guards and the machine's copy see exactly the unit that was just read.
void SM_A::hand_over(const DFU::DeviceInfo& info, quint64 unit) {
    handed_over_unit = unit != 0;
    QMetaObject::invokeMethod(
        this,
        [this, info, unit] {
            device_info = info;
            device_info_unit = unit;
        },
        Qt::QueuedConnection);
}

// Before a command is carried out: the unit it was given for must still be the one listed, since the
// tool addresses whatever unit is connected.
bool SM_A::still_connected() {
    const DFU::ScanResult scan = DFU::make_scan();
    return finds_one_unit(scan) && scan.devices[0].serial == current_serial;
}

void SM_A::run() {
    static bool first_pass_done = false;
    enum Step { A0, A1, A2, A4, A5, A6, A7 };

    Step step = A0;
    for (;;) {
        switch (step) {
        case A0: {
            emit sig_A0_entered();
            current_serial.clear();
            current_unit = 0;
            // A command still pending belongs to a unit that is gone.
            QMutexLocker lock(&mutex);
            command = no_command;
            command_unit = 0;
            step = A1;
            break;
        }
        case A1:
            emit sig_A1_entered();
            if (is_stopping())
                return;
            worker_device_info = DFU::DeviceInfo();
            if (handed_over_unit)
                hand_over(worker_device_info, 0);
            emit sig_NoDevConn();
            if (first_pass_done) {
                if (pause(poll_interval_no_device_ms))
                    return;
            } else {
                first_pass_done = true;
            }
            step = A2;
            break;
        case A2: {
            emit sig_A2_entered();
            emit sig_scanning();
            const DFU::ScanResult scan = DFU::make_scan();
            if (!finds_one_unit(scan)) {
                step = A0;
                break;
            }
            if (scan.devices[0].serial == current_serial) {
                step = A4;
                break;
            }
            emit sig_readingInfo();
            emit sig_NoDevConn();
            current_serial = scan.devices[0].serial;
            current_unit = 0;
            // A fresh record: the reading fills only some fields, and an exchanged unit must not inherit
            // the previous unit's revision.
            worker_device_info = DFU::DeviceInfo();
            const DFU::Result result = DFU::read_device_info(&scan.devices[0], &worker_device_info);
            if (result.code != 0) {
                emit sig_DeviceError(result.text);
                step = A7;
                break;
            }
            current_unit = ++last_unit;
            hand_over(worker_device_info, current_unit);
            emit sig_DevConn();
            step = A4;
            break;
        }
        case A4: {
            emit sig_A4_entered();
            if (is_stopping())
                return;
            // A command ends the idle pause early; without one the unit is listed again after the pause.
            if (pause(poll_interval_device_ms, true))
                return;
            Command taken = no_command;
            quint64 unit = 0;
            {
                QMutexLocker lock(&mutex);
                std::swap(taken, command);
                unit = command_unit;
                command_unit = 0;
            }
            step = A2;
            if (taken == no_command)
                break;
            if (unit != current_unit || !still_connected()) {
                qDebug() << "SM_A: command dropped, the unit it was given for is gone";
                break;
            }
            step = taken == download ? A5 : A6;
            break;
        }
        case A5:
            emit sig_A5_entered();
            emit sig_FwDownloading();
            DFU::download_FW_to_device(desired_FW_bin_path);
            emit sig_FwDownloaded();
            step = A0;
            break;
        case A6:
            emit sig_A6_entered();
            emit sig_FwUploading();
            if (DFU::upload_and_compare_FW_bin(desired_FW_bin_path, uploaded_FW_bin_path)) {
                qDebug() << "Uploaded FW matches";
                emit sig_FwUploadedMatches();
                step = A2;
            } else if (still_connected()) {
                qDebug() << "Uploaded FW does not match";
                emit sig_FwUploadedDiffers();
                step = A2;
            } else {
                // A unit lost during the read-back has no verdict: it is reported as gone instead.
                qDebug() << "SM_A: unit lost during verification";
                step = A0;
            }
            break;
        case A7: {
            emit sig_A7_entered();
            emit sig_scanning();
            for (;;) {
                if (pause(poll_interval_device_ms))
                    return;
                const DFU::ScanResult scan = DFU::make_scan();
                if (!finds_one_unit(scan) || scan.devices[0].serial != current_serial)
                    break;
            }
            step = A0;
            break;
        }
        }
    }
}

void SM_A::enable_debug_output() {
    qInfo() << "SM_A: Adding connections to show debug output (state transitions)";
    const auto add = [this](void (SM_A::*signal)(), const char* name, bool repeating) {
        const QString text = QString::fromLatin1(name);
        connect(
            this, signal, this, [text, repeating] { debug_signal(text, repeating); }, Qt::DirectConnection);
    };
    add(&SM_A::sig_NoDevConn, "NoDevConn", true);
    add(&SM_A::sig_scanning, "scanning", true);
    add(&SM_A::sig_readingInfo, "readingInfo", false);
    add(&SM_A::sig_DevConn, "DevConn", false);
    add(&SM_A::sig_FwDownloading, "FwDownloading", false);
    add(&SM_A::sig_FwDownloaded, "FwDownloaded", false);
    add(&SM_A::sig_FwUploading, "FwUploading", false);
    add(&SM_A::sig_FwUploadedDiffers, "FwUploadedDiffers", false);
    add(&SM_A::sig_FwUploadedMatches, "FwUploadedMatches", false);
}
