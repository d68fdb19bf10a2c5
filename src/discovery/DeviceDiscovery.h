#pragma once

#include "discovery/FetchError.h"
#include "discovery/SSDPDiscovery.h"
#include "discovery/SSDPDiscoveryDelegate.h"
#include "discovery/XmlFetcher.h"
#include "model/DeviceInfo.h"
#include "model/DeviceTopology.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QUrl>

#include <memory>
#include <optional>

class QNetworkAccessManager;

// What a DeviceDiscovery talks to; the defaults are production, tests point
// the SSDP side at fake speakers on loopback and shorten the timers.
struct DeviceDiscoveryOptions {
    SSDPDiscoveryOptions ssdp;
    XmlFetcherOptions http;
};

// Finds the Sonos ZonePlayers on the network: runs SSDP search sessions,
// fetches each answering speaker's description and zone topology, and
// announces every accepted speaker with deviceDiscovered.
class DeviceDiscovery : public QObject, public SSDPDiscoveryDelegate {
    Q_OBJECT
public:
    using Options = DeviceDiscoveryOptions;

    // The process-wide instance, on SSDPDiscovery::defaultDiscovery().
    static DeviceDiscovery& shared();

    // A private instance with its own SSDP client; network (not owned) may be
    // null, and then the instance makes its own access manager.
    explicit DeviceDiscovery(const Options& options, QNetworkAccessManager* network = nullptr,
                             QObject* parent = nullptr);
    ~DeviceDiscovery() override;

    const QString sonosDeviceType = QStringLiteral("ZonePlayer");
    const int sonosDeviceVersion = 1;

    // Starts a session of timeout seconds (absent: until stopped). The outcome
    // comes only through the signals.
    void searchForDevices(std::optional<double> timeout);
    // Ends the running session, if any, and emits discoveryComplete either way.
    void stopSearching();

    SSDPDiscovery& discovery() const { return *m_discovery; }
    // The running session; null when none runs.
    const std::shared_ptr<SSDPDiscoverySession>& session() const { return m_session; }
    bool isSearching() const { return m_session != nullptr; }
    // Every speaker accepted so far, keyed by its description location.
    const QHash<QUrl, DeviceInfo>& devices() const { return m_devices; }

    // Fetches the speaker at location as if it had answered a search: for a
    // speaker that announced itself. Its outcome is deviceDiscovered as usual.
    void fetchAnnounced(const QUrl& location);
    // Whether the speakers of the running search are all in: at least one was
    // accepted, no fetch runs, and every visible player that their household
    // documents list has been described.
    bool isHouseholdComplete() const;

    // SSDPDiscoveryDelegate
    void discoveredDevice(const SSDPMSearchResponse& response,
                          SSDPDiscoverySession& session) override;
    void discoveredService(const SSDPMSearchResponse& response,
                           SSDPDiscoverySession& session) override;
    void closedSession(SSDPDiscoverySession& session) override;

Q_SIGNALS:
    // A session started.
    void discoveryStarted();
    // A speaker answered and its description and topology were accepted.
    void deviceDiscovered(const SSDPMSearchResponse& response, const DeviceInfo& deviceInfo,
                          const DeviceTopology& deviceTopology);
    // A session ended (time-out or stop), or could not start.
    void discoveryComplete();

private:
    struct Pipeline;
    using PipelinePtr = std::shared_ptr<Pipeline>;

    DeviceDiscovery(SSDPDiscovery& discovery, const XmlFetcherOptions& http);

    void fetchDeviceInfo(const SSDPMSearchResponse& response);
    void onDescription(const PipelinePtr& run, const std::optional<FetchError>& error,
                       const XmlFetcher::Document& document);
    void onTopology(const PipelinePtr& run, const std::optional<FetchError>& error,
                    const XmlFetcher::Document& document);
    void fetchZoneGroupState(const PipelinePtr& run);
    void onZoneGroupState(const PipelinePtr& run, const std::optional<FetchError>& error,
                          const XmlFetcher::Document& document);
    void finish(const PipelinePtr& run, const std::optional<FetchError>& error,
                const std::optional<DeviceInfo>& info,
                const std::optional<DeviceTopology>& topology);

    SSDPDiscovery* m_discovery = nullptr;
    std::unique_ptr<SSDPDiscovery> m_ownedDiscovery;
    QNetworkAccessManager* m_network = nullptr;
    XmlFetcher* m_fetcher = nullptr;
    std::shared_ptr<SSDPDiscoverySession> m_session;
    QHash<QUrl, DeviceInfo> m_devices;
    // For isHouseholdComplete(), per search: players the household documents
    // list, and those described.
    QSet<QString> m_listedPlayers;
    QSet<QString> m_describedPlayers;
    int m_fetching = 0;
};
