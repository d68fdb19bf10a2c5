#pragma once

#include <QObject>
#include <QString>

class AirConnect;
class DeviceDiscovery;
class Settings;
struct DeviceInfo;
struct DeviceTopology;
struct SSDPMSearchResponse;

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
    };

    // Null services are the shared instances.
    explicit BridgeController(const Services& services, QObject* parent = nullptr);

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
    // For quit: ends the bridge, waiting at most msecs.
    void shutdown(int msecs);

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

    Settings* m_settings;
    DeviceDiscovery* m_discovery;
    AirConnect* m_airConnect;
    bool m_stoppedByUser = false;
    bool m_on = true;
    QString m_status;
};
