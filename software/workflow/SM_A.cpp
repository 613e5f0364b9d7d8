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
    control.on_progress = [this](const DFU::Progress& p) { emit sig_Progress(int(p.phase), p.percent); };
    qDebug() << "SM_A created";
}

SM_A::~SM_A() {
    {
        QMutexLocker lock(&mutex);
        stopping = true;
        control.request_stop();
        stop_requested.wakeAll();
    }
    qDebug() << "SM_A: Waiting in dtor";
    wait();
    // Its watch calls back into this object: it ends before the mutex goes.
    presence.reset();
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
    control.request_stop();
    stop_requested.wakeAll();
}

bool SM_A::is_stopping() {
    QMutexLocker lock(&mutex);
    return stopping;
}

bool SM_A::pause(int ms, bool until_command, bool until_arrival) {
    // Only an arrival ends the pause: a device that was there already (a unit nobody may open, two
    // units) must not turn the pause into a busy loop.
    const bool watch = until_arrival && presence && last_look == DFU::Presence::none;
    QMutexLocker lock(&mutex);
    QDeadlineTimer deadline(ms);
    // Where the system reports changes of the bus, the worker sleeps until one comes; elsewhere it looks
    // every presence_look_ms.
    const bool timed_looks = watch && !bus_reports;
    // The wait releases the mutex, so set_command and do_stop are never held up by a sleep.
    while (!stopping && !(until_command && command != no_command) && !deadline.hasExpired()) {
        if (!watch) {
            stop_requested.wait(&mutex, deadline);
            continue;
        }
        if (timed_looks)
            stop_requested.wait(&mutex,
                                QDeadlineTimer(std::min<qint64>(presence_look_ms, deadline.remainingTime())));
        else if (!bus_changed)
            stop_requested.wait(&mutex, deadline);
        if (stopping)
            break;
        if (!timed_looks && !bus_changed)
            continue;
        bus_changed = false;
        lock.unlock();
        last_look = presence->look();
        lock.relock();
        if (last_look == DFU::Presence::candidate)
            break;
    }
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

// Where the bus shows no unit, there is nothing for the tool to find.
DFU::ScanResult SM_A::scan() {
    if (presence)
        last_look = presence->look();
    if (presence && last_look == DFU::Presence::none)
        return DFU::ScanResult();
    return DFU::make_scan(&control);
}

// After a failed read-back: whether the unit it was meant for is still the one listed.
bool SM_A::still_connected() {
    const DFU::ScanResult listed = scan();
    return finds_one_unit(listed) && listed.devices[0].serial == current_serial;
}

void SM_A::set_diagnosis(const QString& record_id, const QString& because) {
    if (record_id == diagnosis)
        return;
    diagnosis = record_id;
    if (record_id.isEmpty())
        qInfo() << "SM_A: nothing stands in the way of a unit any more";
    else
        qInfo() << "SM_A: a unit cannot be used:" << record_id << "because the tool said:" << because;
    emit sig_Diagnosis(record_id);
}

void SM_A::run() {
    static bool first_pass_done = false;
    enum Step { A0, A1, A2, A4, A5, A6, A7 };

    if (presence && !bus_reports)
        bus_reports = presence->watch([this] {
            QMutexLocker lock(&mutex);
            bus_changed = true;
            stop_requested.wakeAll();
        });

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
                // An upgraded unit restarts and comes back within seconds: look for it more often.
                const int ms = expected_back.hasExpired()
                                   ? poll_interval_no_device_ms
                                   : std::min(expected_back_poll_ms, poll_interval_no_device_ms);
                if (pause(ms, false, true))
                    return;
            } else {
                first_pass_done = true;
            }
            step = A2;
            break;
        case A2: {
            emit sig_A2_entered();
            emit sig_scanning();
            const DFU::ScanResult listed = scan();
            if (is_stopping())
                return;
            if (!finds_one_unit(listed)) {
                set_diagnosis(listed.diagnosis, listed.reason);
                step = A0;
                break;
            }
            if (listed.devices[0].serial == current_serial) {
                step = A4;
                break;
            }
            emit sig_readingInfo();
            emit sig_NoDevConn();
            current_serial = listed.devices[0].serial;
            current_unit = 0;
            // A fresh record: the reading fills only some fields, and an exchanged unit must not inherit
            // the previous unit's revision.
            worker_device_info = DFU::DeviceInfo();
            const DFU::Result result =
                DFU::read_device_info(&listed.devices[0], &worker_device_info, &control);
            if (is_stopping())
                return;
            if (result.code != 0) {
                const QString cause = DFU::diagnose(result);
                set_diagnosis(cause.isEmpty() ? QStringLiteral("status_unreadable") : cause,
                              DFU::short_reason(result));
                emit sig_DeviceError(result.text);
                step = A7;
                break;
            }
            set_diagnosis(QString());
            expected_back = QDeadlineTimer(0);
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
            if (unit != current_unit) {
                // Given for a unit that is gone: read and judge the connected one again, so that the
                // machine never waits for an answer that will not come.
                qDebug() << "SM_A: command dropped, the unit it was given for is gone";
                step = A0;
                break;
            }
            step = taken == download ? A5 : A6;
            break;
        }
        case A5: {
            emit sig_A5_entered();
            emit sig_FwDownloading();
            const DFU::DeviceItem unit{current_serial};
            {
                // Under the lock: a stop either comes first (no download starts) or sees it running.
                QMutexLocker lock(&mutex);
                if (stopping)
                    return;
                downloading = true;
            }
            const DFU::Result result = DFU::download_FW_to_device(desired_FW_bin_path, &unit, &control);
            downloading = false;
            const bool written = result.code == 0 || DFU::download_written_before_failure(result);
            if (written) {
                if (result.code != 0)
                    qInfo()
                        << "SM_A: the image was written but the unit's answer to the leave request failed;"
                           " the read-back decides";
                expected_back = QDeadlineTimer(expected_back_ms);
            } else {
                emit sig_FwDownloadFailed(DFU::short_reason(result));
            }
            emit sig_FwDownloaded();
            step = A0;
            break;
        }
        case A6: {
            emit sig_A6_entered();
            emit sig_FwUploading();
            const DFU::DeviceItem unit{current_serial};
            const bool matches =
                DFU::upload_and_compare_FW_bin(desired_FW_bin_path, uploaded_FW_bin_path, &unit, &control);
            if (is_stopping())
                return;
            if (matches) {
                qDebug() << "Uploaded FW matches";
                emit sig_FwUploadedMatches();
                step = A2;
            } else if (still_connected()) {
                qDebug() << "Uploaded FW does not match";
                emit sig_FwUploadedDiffers();
                step = A2;
            } else {
                // A unit lost during the read-back has no verdict: it is reported as gone instead.
                if (is_stopping())
                    return;
                qDebug() << "SM_A: unit lost during verification";
                step = A0;
            }
            break;
        }
        case A7: {
            emit sig_A7_entered();
            emit sig_scanning();
            for (;;) {
                if (pause(poll_interval_device_ms))
                    return;
                const DFU::ScanResult listed = scan();
                if (is_stopping())
                    return;
                if (!finds_one_unit(listed) || listed.devices[0].serial != current_serial)
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
