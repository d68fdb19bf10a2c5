#include "discovery/DeviceDiscovery.h"

#include "discovery/SSDPDiscoverySession.h"
#include "discovery/ZoneGroupService.h"
#include "log/Logging.h"
#include "model/XmlText.h"
#include "model/ZoneGroupState.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRegularExpression>

namespace {

const QString kCategory = QStringLiteral("SSDP");

QString bareUdnOf(const DeviceInfo& info, const QUrl& location)
{
    if (!info.udn)
        return location.toString();
    static const QRegularExpression prefix(QStringLiteral("^uuid:"),
                                           QRegularExpression::MultilineOption);
    return QString(*info.udn).replace(prefix, QString());
}

} // namespace

// One speaker's way from SSDP answer to announcement.
struct DeviceDiscovery::Pipeline {
    SSDPMSearchResponse response;
    QUrl topologyUrl;
    std::optional<DeviceInfo> info;
    QString bareUdn;
    std::optional<QUrl> zoneGroupControlUrl;
    // A household document of the speaker's own was had and did not list it.
    bool unlisted = false;

    DeviceTopology fallbackTopology() const { return DeviceTopology(true, bareUdn); }
    // Only a speaker whose topology could not be had at all counts as its own
    // coordinator; one its own documents leave out is made up, or not a player.
    DeviceTopology unlistedTopology() const { return DeviceTopology(false, bareUdn); }
    DeviceTopology topologyWithoutEntry() const
    {
        return unlisted ? unlistedTopology() : fallbackTopology();
    }
};

DeviceDiscovery& DeviceDiscovery::shared()
{
    // Lives as long as the process, on the process-wide SSDP client.
    static DeviceDiscovery* instance =
        new DeviceDiscovery(SSDPDiscovery::defaultDiscovery(), XmlFetcherOptions{});
    return *instance;
}

DeviceDiscovery::DeviceDiscovery(SSDPDiscovery& discovery, const XmlFetcherOptions& http)
    : m_discovery(&discovery)
{
    m_network = new QNetworkAccessManager(this);
    // Speakers sit on the local network; a proxy from the environment would only get in the way.
    m_network->setProxy(QNetworkProxy::NoProxy);
    m_fetcher = new XmlFetcher(*m_network, http, this);
}

DeviceDiscovery::DeviceDiscovery(const Options& options, QNetworkAccessManager* network,
                                 QObject* parent)
    : QObject(parent), m_ownedDiscovery(std::make_unique<SSDPDiscovery>(options.ssdp))
{
    m_discovery = m_ownedDiscovery.get();
    if (network) {
        m_network = network;
    } else {
        m_network = new QNetworkAccessManager(this);
        m_network->setProxy(QNetworkProxy::NoProxy);
    }
    m_fetcher = new XmlFetcher(*m_network, options.http, this);
}

DeviceDiscovery::~DeviceDiscovery()
{
    // Sessions and fetches still running must not call back into a dead object.
    m_ownedDiscovery.reset();
    delete m_fetcher;
}

void DeviceDiscovery::searchForDevices(std::optional<double> timeout)
{
    Logging::info(QStringLiteral("searchForDevices"), kCategory);
    SSDPMSearchRequest request;
    request.delegate = this;
    request.searchTarget = SSDPSearchTarget::deviceType(SSDPSearchTarget::upnpOrgSchema,
                                                        sonosDeviceType, sonosDeviceVersion);
    auto started = m_discovery->beginSearch(request, timeout);
    if (!started) {
        Logging::error(QStringLiteral("Failed to establish socket for M-SEARCH broadcasts: ") +
                           started.error,
                       kCategory);
        emit discoveryComplete();
        return;
    }
    // An earlier session keeps running; its close still clears this field.
    m_session = std::move(started.session);
    m_listedPlayers.clear();
    m_describedPlayers.clear();
    emit discoveryStarted();
}

void DeviceDiscovery::stopSearching()
{
    Logging::info(QStringLiteral("stopSearching"), kCategory);
    if (m_session)
        m_session->end();
    m_session.reset();
    emit discoveryComplete();
}

void DeviceDiscovery::discoveredDevice(const SSDPMSearchResponse& response,
                                       SSDPDiscoverySession& session)
{
    Logging::info(QStringLiteral("discoveredDevice(") + response.description() +
                      QStringLiteral(", ") + session.description() + QLatin1Char(')'),
                  kCategory);
    fetchDeviceInfo(response);
}

void DeviceDiscovery::discoveredService(const SSDPMSearchResponse& response,
                                        SSDPDiscoverySession& session)
{
    Logging::info(QStringLiteral("discoveredService(") + response.description() +
                      QStringLiteral(", ") + session.description() + QLatin1Char(')'),
                  kCategory);
}

void DeviceDiscovery::closedSession(SSDPDiscoverySession& session)
{
    Logging::info(QStringLiteral("closedSession(") + session.description() + QLatin1Char(')'),
                  kCategory);
    m_session.reset();
    emit discoveryComplete();
}

void DeviceDiscovery::fetchAnnounced(const QUrl& location)
{
    SSDPMSearchResponse response;
    response.location = location;
    response.searchTarget = SSDPSearchTarget::deviceType(SSDPSearchTarget::upnpOrgSchema,
                                                         sonosDeviceType, sonosDeviceVersion)
                                .toString();
    Logging::info(QStringLiteral("Fetching announced speaker at ") + location.toString(),
                  kCategory);
    fetchDeviceInfo(response);
}

bool DeviceDiscovery::isHouseholdComplete() const
{
    if (m_fetching > 0 || m_describedPlayers.isEmpty())
        return false;
    return std::all_of(m_listedPlayers.cbegin(), m_listedPlayers.cend(),
                       [this](const QString& udn) { return m_describedPlayers.contains(udn); });
}

void DeviceDiscovery::fetchDeviceInfo(const SSDPMSearchResponse& response)
{
    ++m_fetching;
    auto run = std::make_shared<Pipeline>();
    run->response = response;
    run->topologyUrl = response.location.resolved(QUrl(QStringLiteral("/status/topology")));
    if (!run->topologyUrl.isValid() || run->topologyUrl.host().isEmpty()) {
        finish(run, FetchError::make(QStringLiteral("InvalidDeviceLocationErrorDomain")),
               std::nullopt, std::nullopt);
        return;
    }
    m_fetcher->get(response.location, [this, run](const auto& error, const auto& document) {
        onDescription(run, error, document);
    });
}

void DeviceDiscovery::onDescription(const PipelinePtr& run, const std::optional<FetchError>& error,
                                    const XmlFetcher::Document& document)
{
    if (error) {
        finish(run, error, std::nullopt, std::nullopt);
        return;
    }
    const pugi::xml_node device = document->child("root").child("device");
    if (!device) {
        finish(run, FetchError::make(QStringLiteral("InvalidDeviceXMLErrorDomain")), std::nullopt,
               std::nullopt);
        return;
    }
    run->info = DeviceInfo(device, run->response.location, run->response.server);
    run->bareUdn = bareUdnOf(*run->info, run->response.location);
    if (run->info->udn)
        if (QUrl url = ZoneGroupService::url(device, run->response.location, "controlURL");
            !url.isEmpty())
            run->zoneGroupControlUrl = url;
    // Only now: the two fetches for one speaker never overlap.
    m_fetcher->get(run->topologyUrl, [this, run](const auto& error, const auto& document) {
        onTopology(run, error, document);
    });
}

void DeviceDiscovery::onTopology(const PipelinePtr& run, const std::optional<FetchError>& error,
                                 const XmlFetcher::Document& document)
{
    if (error) {
        Logging::error(QStringLiteral("Failed to fetch topology from ") +
                       run->topologyUrl.toString());
        fetchZoneGroupState(run);
        return;
    }
    for (const pugi::xml_node player : document->root().child("ZPSupportInfo").child("ZonePlayers"))
        if (QLatin1String(player.attribute("invisible").as_string()) != QLatin1String("1"))
            m_listedPlayers.insert(QString::fromUtf8(player.attribute("uuid").as_string()));
    const DeviceTopology topology(document->root(), run->bareUdn);
    // Current firmware lists no players here, which reads as the fallback.
    if (topology == run->fallbackTopology()) {
        run->unlisted = DeviceTopology::listsPlayers(document->root());
        if (run->unlisted)
            Logging::info(QStringLiteral("The topology from %1 does not list %2")
                              .arg(run->topologyUrl.toString(), run->bareUdn));
        fetchZoneGroupState(run);
        return;
    }
    finish(run, std::nullopt, run->info, topology);
}

void DeviceDiscovery::fetchZoneGroupState(const PipelinePtr& run)
{
    if (!run->zoneGroupControlUrl) {
        finish(run, std::nullopt, run->info, run->topologyWithoutEntry());
        return;
    }
    m_fetcher->postSoap(*run->zoneGroupControlUrl, ZoneGroupService::getZoneGroupStateAction(),
                        ZoneGroupService::getZoneGroupStateEnvelope(),
                        [this, run](const auto& error, const auto& document) {
                            onZoneGroupState(run, error, document);
                        });
}

void DeviceDiscovery::onZoneGroupState(const PipelinePtr& run,
                                       const std::optional<FetchError>& error,
                                       const XmlFetcher::Document& document)
{
    const QString url = run->zoneGroupControlUrl->toString();
    std::optional<DeviceTopology> topology;
    if (error) {
        Logging::error(QStringLiteral("Failed to fetch zone group state from ") + url);
    } else if (const auto stateText = ZoneGroupState::fromSoapResponse(document->root())) {
        pugi::xml_document state;
        if (const pugi::xml_parse_result parsed = XmlText::parse(state, *stateText); !parsed) {
            Logging::error(QStringLiteral("The zone group state from %1 does not parse: %2 at "
                                          "offset %3")
                               .arg(url, QString::fromUtf8(parsed.description()))
                               .arg(parsed.offset));
        } else if (const ZoneGroupState groups(state);
                   (topology = groups.topologyFor(run->bareUdn))) {
            for (const ZoneGroupState::Group& group : groups.groups)
                for (const ZoneGroupState::Member& member : group.members)
                    if (!member.invisible && !member.zoneBridge && !member.satellite)
                        m_listedPlayers.insert(member.uuid);
            Logging::info(QStringLiteral("Zone group state from %1: %2 is in group %3%4")
                              .arg(url, run->bareUdn, topology->group,
                                   topology->coordinator ? QStringLiteral(" as its coordinator")
                                                         : QString()));
        } else {
            Logging::info(QStringLiteral("Zone group state from %1 has no entry for %2")
                              .arg(url, run->bareUdn));
            run->unlisted = true;
        }
    } else {
        Logging::error(QStringLiteral("No zone group state in the answer from ") + url);
    }
    finish(run, std::nullopt, run->info, topology.value_or(run->topologyWithoutEntry()));
}

void DeviceDiscovery::finish(const PipelinePtr& run, const std::optional<FetchError>& error,
                             const std::optional<DeviceInfo>& info,
                             const std::optional<DeviceTopology>& topology)
{
    --m_fetching;
    if (info)
        m_describedPlayers.insert(run->bareUdn);
    if (error || !info || !topology) {
        Logging::warning(QStringLiteral("fetchDeviceInfo failed: ") +
                             (error ? error->description() : QStringLiteral("nil")),
                         kCategory);
        return;
    }
    if (info->modelName == QStringLiteral("Sonos BOOST")) {
        Logging::info(QStringLiteral("Ignoring BOOST device at ") +
                      run->response.location.toString());
        return;
    }
    m_devices.insert(run->response.location, *info);
    emit deviceDiscovered(run->response, *info, *topology);
}
