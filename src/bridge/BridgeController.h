#pragma once

#include "bridge/RestartPolicy.h"
#include "discovery/SSDPNotifyListener.h"
#include "discovery/ZoneGroupEvents.h"
#include "model/DeviceSettings.h"
#include "platform/DesktopNotifier.h"
#include "platform/ResumeWatcher.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

class AirConnect;
class AirPlayReceivers;
class DeviceDiscovery;
class NetworkWatcher;
class Settings;
struct DeviceInfo;
struct DeviceTopology;
struct SSDPMSearchResponse;
struct ZoneGroupState;

// What follow mode listens to and how long it waits; tests shorten and aim it.
struct FollowOptions {
    // Quiet after the last change before the bridge restarts once for all.
    std::chrono::milliseconds settleDelay{2000};
    // Quiet after the last network change before searching again.
    std::chrono::milliseconds networkDelay{2000};
    // After a resume, before searching again.
    std::chrono::milliseconds resumeDelay{2000};
    // Between searches while no speaker is known.
    std::chrono::milliseconds retrySearchInterval{30000};
    // The launch search may end this early once every household is complete.
    std::chrono::milliseconds earliestSearchEnd{1200};
    // An announced speaker is fetched at most once per this.
    std::chrono::milliseconds refetchInterval{10000};
    RestartPolicy::Options restart;
    SSDPNotifyListenerOptions announcements;
    ZoneGroupEventsOptions groupEvents;
    ResumeWatcher::Options resume;
    DesktopNotifier::Options notifier;
    bool watchNetwork = true;
};

// Decides what the bridge does: merges every speaker found into the settings,
// starts the bridge when a search ends, remembers that the user turned it off,
// and keeps the machine awake while it runs. Screens present its state (the
// status line, whether Corvane is on) and call it for the user's actions.
class BridgeController : public QObject {
    Q_OBJECT
public:
    // Every search Corvane starts lasts this long (seconds).
    static constexpr double searchTimeout = 8.0;

    struct Services {
        Settings* settings = nullptr;
        DeviceDiscovery* discovery = nullptr;
        AirConnect* airConnect = nullptr;
        // The AirPlay receivers of the network; none: no speaker is flagged.
        AirPlayReceivers* airPlay = nullptr;
        FollowOptions follow = {};
    };

    // Null services are the shared instances.
    explicit BridgeController(const Services& services, QObject* parent = nullptr);
    ~BridgeController() override;

    Settings& settings() const { return *m_settings; }
    DeviceDiscovery& discovery() const { return *m_discovery; }
    AirConnect& airConnect() const { return *m_airConnect; }

    // Follows discovery and the bridge from now on and starts the launch search.
    void launch();
    // The user's on: forgets an earlier off and searches; the search's end starts the bridge.
    void turnOn();
    // The user's off: no search ends in a bridge start until turnOn().
    void turnOff();
    bool isStoppedByUser() const { return m_stoppedByUser; }
    // The user's stop of the running bridge (the window's Stop): no restart follows.
    void stopBridge();
    // For quit: ends the bridge, waiting at most msecs.
    void shutdown(int msecs);

    // Follow mode: the bridge keeps up with the speakers, the network and the
    // computer. Saved in the settings; off runs none of its watchers.
    void setFollowChanges(bool on);
    bool followsChanges() const { return m_follow != nullptr; }
    // Speakers that play AirPlay themselves go to the bridge disabled; saved.
    void setSkipAirPlaySpeakers(bool on);

    // Follow mode's event sources, null while it is off; tests emit their signals.
    SSDPNotifyListener* announcements() const;
    ZoneGroupEvents* groupEvents() const;
    ResumeWatcher* resumeWatcher() const;

    // What the bridge is given: one record per UDN (the one seen in this run,
    // else the last in table order), AirPlay speakers disabled when skipped.
    QList<DeviceSettings> bridgeRecords() const;

    // A record was edited by the user and saved.
    void deviceSettingsChanged();
    // Counts a crash of this version in the settings.
    void recordCrash();

    // The status line: "Corvane: Running" and its siblings.
    const QString& status() const { return m_status; }
    // Whether the on/off item offers to turn Corvane off.
    bool isOn() const { return m_on; }

Q_SIGNALS:
    void statusChanged(const QString& status);
    void onChanged(bool on);
    // The speakers of this run or their records changed: menus and lists reload.
    void devicesChanged();
    // The user turned Corvane off.
    void appStopped();

private:
    struct Follow;

    void onDiscoveryStarted();
    void onDeviceDiscovered(const SSDPMSearchResponse& response, const DeviceInfo& deviceInfo,
                            const DeviceTopology& deviceTopology);
    void onDiscoveryComplete();
    void onServiceStarted();
    void onServiceReady();
    void onServiceTerminated();

    void setStatus(const QString& status);
    void setOn(bool on);
    bool hasActiveSpeakers() const;
    // Starts (or replaces) the bridge with bridgeRecords() and remembers what it was given.
    void startBridge();
    // Follow mode: the bridge set changed for reason; restart once things settle.
    void bridgeSetMayHaveChanged(const QString& reason);
    void restartNow(const QString& reason);
    void onAnnounced(const QUrl& location, const QString& udn);
    void onByebye(const QString& udn);
    void onGroupState(const ZoneGroupState& state);
    void onNetworkChanged();
    void onNetworkSettled();
    void onResumed();
    void checkEarlySearchEnd();
    void followGroupEvents();
    void updateAirPlayFlags();

    Settings* m_settings;
    DeviceDiscovery* m_discovery;
    AirConnect* m_airConnect;
    AirPlayReceivers* m_airPlay;
    const FollowOptions m_followOptions;
    std::unique_ptr<Follow> m_follow;
    bool m_stoppedByUser = false;
    bool m_stopRequested = false; // the current run was asked to stop
    bool m_shuttingDown = false;
    bool m_on = true;
    QString m_status;
    // What the running bridge was given: UDN, name, bridged.
    QList<std::tuple<QString, QString, bool>> m_bridgeSet;
    QSet<QString> m_airPlayLogged;
};
