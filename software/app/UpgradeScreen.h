#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class MainWindow;
class QAbstractState;
class QTimer;
class SM_A;
class SM_B;
namespace Settings {
struct Settings;
}

// How long a unit may stay away after its upgrade before the window says it has not come back (ms).
// Written only before GUI_init (tests lower it).
extern int unit_back_limit_ms;

// What the window shows during the workflow: the status line, the install button and the progress bar.
// It follows the machine's signals (through add_connections, which calls its slots) and the worker's
// (connected here, queued to the main thread in the order they were emitted), and remembers whether an
// upgrade is under way, so that the unit's restart, its absence and a failed download are shown as such
// and not as an ordinary "no unit". Main thread only.
class UpgradeScreen : public QObject {
    Q_OBJECT

public:
    UpgradeScreen(MainWindow* window, SM_A* worker, SM_B* machine, const Settings::Settings* settings,
                  QObject* parent = nullptr);

    // Captions of the bar and the install button.
    static const QString writingCaption;
    static const QString erasingCaption;
    static const QString writingPhaseCaption;
    static const QString restartingCaption;
    static const QString notBackCaption;
    static const QString failedCaption;
    static const QString verifyingCaption;
    static const QString doneCaption;
    static const QString tryAgainCaption;

public slots:
    // The machine's reactions.
    void offerUpgrade();        // sig_UpgradePossible
    void unitConnected();       // sig_DeviceConnected (B1 left)
    void showRevision();        // sig_DifferingRevision
    void noUnit();              // sig_UpgradeImpossible (B1 entered, or B9 outside a service build)
    void downloadRequested();   // sig_DoDownload
    void verifying();           // sig_UploadingVerifying
    void verified();            // sig_FwMatches
    void verificationDiffers(); // sig_FwDiffers
    void otherProduct();        // sig_InvalidProduct

private:
    enum class Phase {
        idle,       // no upgrade under way
        requested,  // clicked; the worker has not started writing yet
        writing,    // the tool writes the image
        restarting, // written; the unit restarts and is expected back
        failed,     // the download failed; shown until the user clicks again
        judging,    // back after its upgrade; read again, its verdict not yet given
    };
    enum class Task { none, download, upload };

    void progress(int phase, int percent);
    void downloadFailed(const QString& reason);
    void downloaded();
    void diagnosis(const QString& record_id);
    void notBackExpired();
    void installRule(const QString& link);

    bool machineIn(QAbstractState* state) const;
    void show(const char* id, const QStringList& values = {});
    void showRevisionText();
    // The status line while no unit is judged: what stands in the way, else the upgrade's phase.
    void showNoUnitStatus();

    QPointer<MainWindow> window;
    QPointer<SM_A> worker;
    QPointer<SM_B> machine;
    const Settings::Settings* settings;
    QTimer* backTimer;

    Phase phase = Phase::idle;
    Task task = Task::none;
    bool notBack = false;
    bool toolReports = false; // the tool has printed a percentage
    QString failure;
    QString lastDiagnosis;
};
