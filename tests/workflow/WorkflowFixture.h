#pragma once

// Shared pieces of the workflow tests: simulated units in a private state directory, and a recorder of
// the worker's signals that runs on the worker thread (direct connections), so that the order of
// emission is seen exactly, and hooks that act on the unit at a chosen step.

#include "DFU.h"
#include "Device.h"
#include "SM_A.h"
#include "simulator.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

inline const QString serial_X = QStringLiteral("3574364C3034");
inline const QString serial_Y = QStringLiteral("3574364C3035");

inline QString desired_FW_bin() {
    return QStringLiteral(UPGRADE_FIRMWARE_BIN);
}
inline Device::FW_Info desired_FW() {
    return Device::make_FW_Info(desired_FW_bin());
}

// Each test gets its own state directory, since ctest runs the test programs in parallel.
class SimulatedUnits {
public:
    SimulatedUnits() {
        qputenv("VELTARO_UNITS_DIR", dir.path().toLocal8Bit());
        qputenv("VELTARO_SIM_FIRMWARE", QByteArray(UPGRADE_FIRMWARE_BIN));
    }
    // A newer set may have taken over already (it is made before this one goes): its directory stays
    // named, or later runs of the script would fall back to the user's own state directory.
    ~SimulatedUnits() {
        if (qgetenv("VELTARO_UNITS_DIR") == dir.path().toLocal8Bit())
            qunsetenv("VELTARO_UNITS_DIR");
    }

    static void set_up_command_table() {
        static bool done = false;
        if (!done)
            simulator::setup_for_simulated_dfu_util(simulator::fast_progress);
        done = true;
    }

    bool scenario(const QString& name) { return simulator::sim_setup_prepared_config(name) == 0; }

    QString unit_dir(const QString& serial) const { return dir.path() + QStringLiteral("/units/") + serial; }

    bool add_knob(const QString& serial, const QString& line) {
        QFile knobs(unit_dir(serial) + QStringLiteral("/knobs"));
        return knobs.open(QIODevice::Append) && knobs.write((line + QStringLiteral("\n")).toUtf8()) > 0;
    }
    // Pulled: the unit's directory goes to a holding place, from where plug() brings it back.
    bool pull(const QString& serial) { return QDir().rename(unit_dir(serial), held(serial)); }
    bool plug(const QString& serial, const QString& as_serial) {
        return QDir().rename(held(serial), unit_dir(as_serial));
    }
    // Exchanged without an empty listing in between: another serial appears in the same instant.
    bool exchange(const QString& serial, const QString& new_serial) {
        return QDir().rename(unit_dir(serial), unit_dir(new_serial));
    }
    // A unit of another scenario, made in a second directory and held until plugged in.
    bool prepare_held(const QString& scenario, const QString& serial) {
        QProcess script;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VELTARO_UNITS_DIR"), other.path());
        script.setProcessEnvironment(env);
        script.start(
            simulator::dfu_util_path(QStringLiteral("dfu-util_simulator.sh")),
            {QStringLiteral("--dfu-util-command"), QStringLiteral("setup_prepared_config"), scenario});
        if (!script.waitForFinished(30000) || script.exitCode() != 0)
            return false;
        return QDir().rename(other.path() + QStringLiteral("/units/") + serial_X, held(serial));
    }

    QTemporaryDir dir;

private:
    QString held(const QString& serial) const { return dir.path() + QStringLiteral("/held-") + serial; }
    QTemporaryDir other;
};

class WorkerRecorder {
public:
    explicit WorkerRecorder(SM_A* worker) {
        const auto add = [this, worker](void (SM_A::*signal)(), const char* name) {
            const QString text = QString::fromLatin1(name);
            QObject::connect(
                worker, signal, worker, [this, text] { record(text); }, Qt::DirectConnection);
        };
        add(&SM_A::sig_NoDevConn, "NoDevConn");
        add(&SM_A::sig_DevConn, "DevConn");
        add(&SM_A::sig_scanning, "scanning");
        add(&SM_A::sig_readingInfo, "readingInfo");
        add(&SM_A::sig_FwDownloading, "FwDownloading");
        add(&SM_A::sig_FwDownloaded, "FwDownloaded");
        add(&SM_A::sig_FwUploading, "FwUploading");
        add(&SM_A::sig_FwUploadedDiffers, "FwUploadedDiffers");
        add(&SM_A::sig_FwUploadedMatches, "FwUploadedMatches");
        add(&SM_A::sig_A0_entered, "A0");
        add(&SM_A::sig_A1_entered, "A1");
        add(&SM_A::sig_A2_entered, "A2");
        add(&SM_A::sig_A4_entered, "A4");
        add(&SM_A::sig_A5_entered, "A5");
        add(&SM_A::sig_A6_entered, "A6");
        add(&SM_A::sig_A7_entered, "A7");
        QObject::connect(
            worker, &SM_A::sig_DeviceError, worker,
            [this](const QString&) { record(QStringLiteral("DeviceError")); }, Qt::DirectConnection);
        QObject::connect(
            worker, &SM_A::sig_FwDownloadFailed, worker,
            [this](const QString& reason) {
                {
                    QMutexLocker lock(&mutex);
                    last_reason = reason;
                }
                record(QStringLiteral("FwDownloadFailed"));
            },
            Qt::DirectConnection);
        QObject::connect(
            worker, &SM_A::sig_Diagnosis, worker,
            [this](const QString& id) { record(QStringLiteral("Diagnosis:") + id); }, Qt::DirectConnection);
    }

    QString reason() const {
        QMutexLocker lock(&mutex);
        return last_reason;
    }

    int count(const QString& name) const {
        QMutexLocker lock(&mutex);
        return events.count(name);
    }
    QStringList sequence() const {
        QMutexLocker lock(&mutex);
        return events;
    }
    // Runs once on the worker thread, right when `name` is emitted for the time after `after` ones.
    void hook(const QString& name, int after, std::function<void()> action) {
        QMutexLocker lock(&mutex);
        hooks.push_back({name, after, std::move(action)});
    }

private:
    struct Hook {
        QString name;
        int after;
        std::function<void()> action;
    };
    void record(const QString& name) {
        std::vector<std::function<void()>> due;
        {
            QMutexLocker lock(&mutex);
            events << name;
            const int n = events.count(name);
            for (auto it = hooks.begin(); it != hooks.end();) {
                if (it->name == name && n > it->after) {
                    due.push_back(std::move(it->action));
                    it = hooks.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& action : due)
            action();
    }

    mutable QMutex mutex;
    QStringList events;
    QString last_reason;
    std::vector<Hook> hooks;
};
