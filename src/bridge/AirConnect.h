#pragma once

#include "model/DeviceSettings.h"

#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>

// Runs the AirConnect bridge (airupnp) as a child process: writes its
// configuration, watches its output for the first renderer, stops a bridge
// that never gets there, and reports its life through its signals.
class AirConnect : public QObject {
    Q_OBJECT
public:
    // The text in the bridge's output that shows it created a renderer.
    static constexpr char readyMarker[] = "adding renderer";

    struct Options {
        // The bridge executable; empty: looked up with findBridge().
        QString bridgePath;
        // Where the configuration is written; empty: airupnp.xml in the
        // user's private temporary folder.
        QString configPath;
        // How long a new bridge has to show a renderer.
        std::chrono::milliseconds watchdogInterval{20000};
        // How long a stopped bridge has to end after SIGTERM before it is killed.
        std::chrono::milliseconds killTimeout{5000};
        // The same for a bridge left by an earlier run of Corvane, found at start.
        std::chrono::milliseconds leftoverWait{2000};
    };

    // The supervisor of the process, made on first use on the main thread.
    static AirConnect& shared();

    AirConnect() : AirConnect(Options{}) {}
    explicit AirConnect(Options options, QObject* parent = nullptr);
    // Kills whatever bridge of ours still runs.
    ~AirConnect() override;

    // Writes the configuration for these records (in the order given) and
    // launches the bridge; serviceStarted follows once it has started, or
    // serviceTerminated if it could not be launched. Call from the main
    // thread only: the bridge is told to end with the thread that started it.
    void start(const QList<DeviceSettings>& devices);
    // Asks the running bridge to end (SIGTERM, SIGKILL 5 s later) and resets
    // the supervisor. serviceTerminated follows when it has ended.
    void stop();
    // For quit: stop, then wait up to msecs for every bridge of ours to end,
    // killing the rest. Answers whether all ended on their own in time.
    bool stopAndWait(int msecs);

    // The watchdog's action, run by _startTimer.
    void watchdogTimerExpired();

    // A bridge counts as running from start until stop or its termination.
    bool isRunning() const { return process != nullptr; }
    bool isReady() const { return _ready; }
    bool isWatchdogPending() const { return _startTimer.isActive(); }
    // The current run's process id, or 0.
    qint64 processId() const;
    // Every bridge of ours not yet ended: the current one and stopped ones.
    QList<qint64> livingProcessIds() const;

    // Empty when there is no private folder for it.
    QString configPath() const;
    QString bridgePath() const;

    // The build's bridge in libexec/corvane/ beside the program, then on PATH;
    // empty when neither has it. lookedAt receives where it looked.
    static QString findBridge(QStringList* lookedAt = nullptr);

    // Where the bridge is published for download.
    static constexpr char releasesUrl[] = "https://github.com/philippe44/AirConnect/releases";
    // Whether the last start failed because there was no bridge executable;
    // cleared by the next start that finds one.
    bool isBridgeMissing() const { return m_bridgeMissing; }
    // The folder a downloaded bridge goes in and the file name it needs
    // there: this installation's helper folder, the first place looked at.
    QString installFolder() const;
    QString installFileName() const;
    // What to do about a missing bridge, as a few plain sentences.
    QString missingBridgeGuidance() const;

Q_SIGNALS:
    // The current run's process started (never for a launch that failed).
    void serviceStarted();
    // The current run printed its first renderer.
    void serviceReady();
    // The current run ended, or a start failed before or at launch.
    void serviceTerminated();

private:
    void failBeforeLaunch(const QString& what);
    void announceStarted(QProcess* run);
    void onOutput(QProcess* run);
    void onFinished(QProcess* run);
    void onLaunchFailed(QProcess* run);
    void retire(QProcess* run);
    void forget(QProcess* run);
    void endLeftovers(const QString& bridge, const QStringList& arguments);

    const Options m_options;
    QProcess* process = nullptr; // the current run; stopped runs live on in m_runs
    // The run launched last, also once stopped: only its end is reported, so
    // a late report from an older run never reads as the newer bridge ending.
    QProcess* m_latest = nullptr;
    bool _ready = false;
    bool m_announced = false; // "serviceStarted" posted for the current run
    bool m_bridgeMissing = false;
    bool m_guidanceLogged = false;
    QTimer _startTimer;
    QList<QProcess*> m_runs;
};
