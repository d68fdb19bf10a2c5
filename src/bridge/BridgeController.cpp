#include "bridge/BridgeController.h"

#include "bridge/AirConnect.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Logging.h"
#include "model/ZoneGroupState.h"
#include "platform/AirPlayReceivers.h"
#include "platform/NetworkWatcher.h"
#include "platform/SystemSleep.h"
#include "settings/Settings.h"

#include <optional>

namespace {

const QString kLookingForSpeakers = QStringLiteral("Corvane: Looking For Speakers...");
const QString kFollow = QStringLiteral("follow");

QString bareUdn(const std::optional<QString>& udn)
{
    if (!udn)
        return {};
    return udn->startsWith(QLatin1String("uuid:")) ? udn->mid(5) : *udn;
}

} // namespace

// The watchers and timers of follow mode; they exist only while it is on.
struct BridgeController::Follow {
    QTimer settle;
    QTimer networkQuiet;
    QTimer resume;
    QTimer retrySearch;
    QTimer earlySearchEnd;
    QTimer restart;
    RestartPolicy policy;
    QElapsedTimer clock;
    qint64 runStartedAt = 0;
    bool gaveUp = false;
    bool earlyEnd = false; // the running search may end once the household is complete
    QStringList reasons;
    QStringList bridgeAddresses;
    bool addressesChanged = false;
    QHash<QUrl, qint64> fetchedAt;
    std::unique_ptr<SSDPNotifyListener> announcements;
    std::unique_ptr<NetworkWatcher> network;
    std::unique_ptr<ResumeWatcher> resumeWatcher;
    std::unique_ptr<ZoneGroupEvents> groupEvents;
    std::unique_ptr<DesktopNotifier> notifier;
};

BridgeController::BridgeController(const Services& services, QObject* parent)
    : QObject(parent), m_settings(services.settings ? services.settings : &Settings::shared()),
      m_discovery(services.discovery ? services.discovery : &DeviceDiscovery::shared()),
      m_airConnect(services.airConnect ? services.airConnect : &AirConnect::shared()),
      m_airPlay(services.airPlay), m_followOptions(services.follow)
{
    // Connected before any window's observers, so a window reloads after the merge.
    connect(m_discovery, &DeviceDiscovery::discoveryStarted, this,
            &BridgeController::onDiscoveryStarted);
    connect(m_discovery, &DeviceDiscovery::deviceDiscovered, this,
            &BridgeController::onDeviceDiscovered);
    connect(m_discovery, &DeviceDiscovery::discoveryComplete, this,
            &BridgeController::onDiscoveryComplete);
    connect(m_airConnect, &AirConnect::serviceStarted, this, &BridgeController::onServiceStarted);
    connect(m_airConnect, &AirConnect::serviceReady, this, &BridgeController::onServiceReady);
    connect(m_airConnect, &AirConnect::serviceTerminated, this,
            &BridgeController::onServiceTerminated);
    if (m_airPlay) {
        connect(m_airPlay, &AirPlayReceivers::receiverFound, this,
                &BridgeController::updateAirPlayFlags);
        connect(m_airPlay, &AirPlayReceivers::receiverRemoved, this,
                &BridgeController::updateAirPlayFlags);
    }
}

BridgeController::~BridgeController() = default;

void BridgeController::launch()
{
    m_stoppedByUser = false;
    if (m_airPlay)
        m_airPlay->start();
    setFollowChanges(m_settings->followChanges);
    if (m_follow) {
        m_follow->earlyEnd = true;
        m_follow->earlySearchEnd.start();
    }
    m_discovery->searchForDevices(searchTimeout);
}

void BridgeController::setFollowChanges(bool on)
{
    if (m_settings->followChanges != on) {
        m_settings->followChanges = on;
        m_settings->save();
    }
    if (on == followsChanges())
        return;
    if (!on) {
        Logging::info(QStringLiteral("Follow mode off"), kFollow);
        if (m_follow->groupEvents)
            m_follow->groupEvents->stop();
        m_follow.reset();
        return;
    }
    Logging::info(QStringLiteral("Follow mode on"), kFollow);
    m_follow = std::make_unique<Follow>();
    Follow& f = *m_follow;
    f.policy = RestartPolicy(m_followOptions.restart);
    f.clock.start();
    const auto singleShot = [this](QTimer& timer, std::chrono::milliseconds interval,
                                   void (BridgeController::*handler)()) {
        timer.setSingleShot(true);
        timer.setInterval(interval);
        connect(&timer, &QTimer::timeout, this, handler);
    };
    singleShot(f.networkQuiet, m_followOptions.networkDelay, &BridgeController::onNetworkSettled);
    singleShot(f.earlySearchEnd, m_followOptions.earliestSearchEnd,
               &BridgeController::checkEarlySearchEnd);
    f.settle.setSingleShot(true);
    f.settle.setInterval(m_followOptions.settleDelay);
    connect(&f.settle, &QTimer::timeout, this, [this] {
        const QString reason = m_follow->reasons.join(QStringLiteral(", "));
        m_follow->reasons.clear();
        restartNow(reason);
    });
    f.resume.setSingleShot(true);
    f.resume.setInterval(m_followOptions.resumeDelay);
    connect(&f.resume, &QTimer::timeout, this, [this] {
        m_discovery->searchForDevices(searchTimeout);
        restartNow(QStringLiteral("resumed from suspend"));
    });
    f.retrySearch.setSingleShot(true);
    f.retrySearch.setInterval(m_followOptions.retrySearchInterval);
    connect(&f.retrySearch, &QTimer::timeout, this, [this] {
        if (!m_stoppedByUser && !hasActiveSpeakers() && !m_discovery->isSearching())
            m_discovery->searchForDevices(searchTimeout);
    });
    f.restart.setSingleShot(true);
    connect(&f.restart, &QTimer::timeout, this,
            [this] { restartNow(QStringLiteral("ended unexpectedly")); });

    f.announcements = std::make_unique<SSDPNotifyListener>(m_followOptions.announcements);
    connect(f.announcements.get(), &SSDPNotifyListener::alive, this,
            &BridgeController::onAnnounced);
    connect(f.announcements.get(), &SSDPNotifyListener::byebye, this, &BridgeController::onByebye);
    QString error;
    if (!f.announcements->start(&error))
        Logging::warning(QStringLiteral("Not listening for speaker announcements: ") + error,
                         kFollow);

    if (m_followOptions.watchNetwork) {
        f.network = std::make_unique<NetworkWatcher>();
        connect(f.network.get(), &NetworkWatcher::changed, this,
                &BridgeController::onNetworkChanged);
        f.network->start();
    }
    f.resumeWatcher = std::make_unique<ResumeWatcher>(m_followOptions.resume);
    connect(f.resumeWatcher.get(), &ResumeWatcher::resumed, this, &BridgeController::onResumed);
    f.resumeWatcher->start();

    f.groupEvents = std::make_unique<ZoneGroupEvents>(m_followOptions.groupEvents);
    connect(f.groupEvents.get(), &ZoneGroupEvents::groupStateChanged, this,
            &BridgeController::onGroupState);
    f.notifier = std::make_unique<DesktopNotifier>(m_followOptions.notifier);
    followGroupEvents();
}

SSDPNotifyListener* BridgeController::announcements() const
{
    return m_follow ? m_follow->announcements.get() : nullptr;
}

ZoneGroupEvents* BridgeController::groupEvents() const
{
    return m_follow ? m_follow->groupEvents.get() : nullptr;
}

ResumeWatcher* BridgeController::resumeWatcher() const
{
    return m_follow ? m_follow->resumeWatcher.get() : nullptr;
}

void BridgeController::setSkipAirPlaySpeakers(bool on)
{
    if (m_settings->skipAirPlaySpeakers == on)
        return;
    m_settings->skipAirPlaySpeakers = on;
    m_settings->save();
    bridgeSetMayHaveChanged(on ? QStringLiteral("skipping speakers that play AirPlay themselves")
                               : QStringLiteral("bridging speakers that play AirPlay themselves"));
}

QList<DeviceSettings> BridgeController::bridgeRecords() const
{
    const QList<DeviceSettings> devices = m_settings->devices();
    QList<DeviceSettings> records;
    QHash<QString, qsizetype> byUdn;
    for (const DeviceSettings& record : devices) {
        DeviceSettings entry = record;
        if (m_settings->skipAirPlaySpeakers && entry.airPlayService)
            entry.enabled = false;
        if (!entry.info.udn || entry.info.udn->isEmpty()) {
            records.append(entry);
            continue;
        }
        // The bridge applies the first entry of a UDN: only one may go there.
        const auto seen = byUdn.constFind(*entry.info.udn);
        if (seen == byUdn.constEnd()) {
            byUdn.insert(*entry.info.udn, records.size());
            records.append(entry);
        } else if (entry.active || !records[*seen].active) {
            records[*seen] = entry;
        }
    }
    return records;
}

void BridgeController::startBridge()
{
    const QList<DeviceSettings> records = bridgeRecords();
    m_bridgeSet.clear();
    for (const DeviceSettings& record : records)
        m_bridgeSet.append({record.info.udn.value_or(QString()), record.name, record.isBridged()});
    m_stopRequested = false;
    if (m_follow) {
        m_follow->settle.stop();
        m_follow->restart.stop();
        m_follow->reasons.clear();
        m_follow->runStartedAt = m_follow->clock.elapsed();
        m_follow->bridgeAddresses = NetworkWatcher::currentIPv4Addresses();
        m_follow->addressesChanged = false;
    }
    m_airConnect->start(records);
}

void BridgeController::bridgeSetMayHaveChanged(const QString& reason)
{
    if (!m_follow || m_stoppedByUser || m_follow->gaveUp || m_shuttingDown)
        return;
    QList<std::tuple<QString, QString, bool>> now;
    for (const DeviceSettings& record : bridgeRecords())
        now.append({record.info.udn.value_or(QString()), record.name, record.isBridged()});
    if (m_airConnect->isRunning()) {
        if (now == m_bridgeSet)
            return;
        if (!m_follow->reasons.contains(reason))
            m_follow->reasons.append(reason);
        m_follow->settle.start(); // once for a burst of changes
    } else if (!m_stopRequested && !m_discovery->isSearching() && !m_follow->restart.isActive() &&
               hasActiveSpeakers()) {
        // Nothing runs (none was found before): start as soon as one is.
        Logging::info(QStringLiteral("Starting AirConnect: ") + reason, kFollow);
        startBridge();
    }
}

void BridgeController::restartNow(const QString& reason)
{
    if (!m_follow || m_stoppedByUser || m_follow->gaveUp || m_shuttingDown || !hasActiveSpeakers())
        return;
    Logging::info(QStringLiteral("Restarting AirConnect: ") + reason);
    startBridge();
}

void BridgeController::onAnnounced(const QUrl& location, const QString& udn)
{
    const std::optional<DeviceSettings> here = m_settings->device(location);
    if (here && here->active && bareUdn(here->info.udn) == udn)
        return; // known here: a re-announcement changes nothing
    const qint64 now = m_follow->clock.elapsed();
    const auto last = m_follow->fetchedAt.constFind(location);
    if (last != m_follow->fetchedAt.constEnd() &&
        now - *last < m_followOptions.refetchInterval.count())
        return;
    if (m_follow->fetchedAt.size() >= 256) // bounded, whatever a flood sends
        m_follow->fetchedAt.clear();
    m_follow->fetchedAt.insert(location, now);
    m_discovery->fetchAnnounced(location);
}

void BridgeController::onByebye(const QString& udn)
{
    bool changed = false;
    for (DeviceSettings record : m_settings->devices()) {
        if (!record.active || bareUdn(record.info.udn) != udn)
            continue;
        Logging::info(record.name + QStringLiteral(" said goodbye"), kFollow);
        record.active = false;
        m_settings->setDevice(record.info.location, record);
        changed = true;
    }
    if (!changed)
        return;
    // The bridge lets a vanished renderer go by itself: no restart for this.
    for (auto& [entryUdn, name, bridged] : m_bridgeSet)
        if (bareUdn(entryUdn) == udn)
            bridged = false;
    emit devicesChanged();
}

void BridgeController::onGroupState(const ZoneGroupState& state)
{
    QStringList regrouped;
    for (DeviceSettings record : m_settings->devices()) {
        if (!record.active)
            continue;
        const std::optional<DeviceTopology> topology = state.topologyFor(bareUdn(record.info.udn));
        if (!topology || topology == record.topology)
            continue;
        record.topology = topology;
        m_settings->setDevice(record.info.location, record);
        regrouped.append(record.name);
    }
    if (regrouped.isEmpty())
        return;
    Logging::info(QStringLiteral("Group change: ") + regrouped.join(QStringLiteral(", ")), kFollow);
    emit devicesChanged();
    bridgeSetMayHaveChanged(QStringLiteral("group change"));
}

void BridgeController::onNetworkChanged()
{
    if (!m_follow)
        return;
    if (NetworkWatcher::currentIPv4Addresses() != m_follow->bridgeAddresses)
        m_follow->addressesChanged = true;
    m_follow->networkQuiet.start();
}

void BridgeController::onNetworkSettled()
{
    if (m_stoppedByUser)
        return;
    Logging::info(QStringLiteral("The network changed: searching again"), kFollow);
    m_follow->announcements->rejoin();
    if (!m_discovery->isSearching())
        m_discovery->searchForDevices(searchTimeout);
    // The bridge binds its address when it starts.
    if (m_follow->addressesChanged && m_airConnect->isRunning())
        restartNow(QStringLiteral("the computer's addresses changed"));
}

void BridgeController::onResumed()
{
    if (!m_stoppedByUser)
        m_follow->resume.start();
}

void BridgeController::checkEarlySearchEnd()
{
    if (!m_follow || !m_follow->earlyEnd || !m_discovery->isSearching())
        return;
    if (m_follow->earlySearchEnd.isActive() || !m_discovery->isHouseholdComplete())
        return;
    m_follow->earlyEnd = false;
    Logging::info(QStringLiteral("Every speaker of the household has answered: ending the search"),
                  kFollow);
    m_discovery->stopSearching();
}

void BridgeController::followGroupEvents()
{
    if (!m_follow)
        return;
    QList<QUrl> speakers;
    for (const DeviceSettings& record : m_settings->devices())
        if (record.active && record.info.udn)
            speakers.append(record.info.location);
    ZoneGroupEvents& events = *m_follow->groupEvents;
    if (speakers.isEmpty() ||
        (events.mode() != ZoneGroupEvents::Mode::Stopped && speakers.contains(events.speaker())))
        return;
    events.start(speakers);
}

void BridgeController::updateAirPlayFlags()
{
    if (!m_airPlay)
        return;
    bool changed = false;
    for (DeviceSettings record : m_settings->devices()) {
        const QHostAddress host(record.info.location.host());
        const std::optional<QString> service =
            host.isNull() ? std::nullopt : m_airPlay->serviceAt(host);
        if (service == record.airPlayService)
            continue;
        record.airPlayService = service;
        m_settings->setDevice(record.info.location, record);
        changed = true;
        if (service && record.active &&
            !m_airPlayLogged.contains(record.info.location.toString())) {
            m_airPlayLogged.insert(record.info.location.toString());
            Logging::info(record.name + QStringLiteral(" plays AirPlay itself (") + *service +
                          QLatin1Char(')'));
        }
    }
    if (!changed)
        return;
    emit devicesChanged();
    if (m_settings->skipAirPlaySpeakers)
        bridgeSetMayHaveChanged(QStringLiteral("a speaker's own AirPlay changed"));
}

void BridgeController::turnOn()
{
    setStatus(kLookingForSpeakers);
    setOn(true);
    m_stoppedByUser = false;
    if (m_follow) {
        m_follow->gaveUp = false;
        m_follow->policy.reset();
    }
    m_discovery->searchForDevices(searchTimeout);
}

void BridgeController::turnOff()
{
    m_stoppedByUser = true;
    if (m_follow) {
        for (QTimer* timer : {&m_follow->settle, &m_follow->restart, &m_follow->retrySearch,
                              &m_follow->resume, &m_follow->networkQuiet})
            timer->stop();
        m_follow->reasons.clear();
    }
    setStatus(QStringLiteral("Corvane: Off"));
    setOn(false);
    emit appStopped();
    m_discovery->stopSearching();
    m_airConnect->stop();
}

void BridgeController::stopBridge()
{
    m_stopRequested = true;
    if (m_follow) {
        m_follow->settle.stop();
        m_follow->restart.stop();
    }
    m_airConnect->stop();
}

void BridgeController::shutdown(int msecs)
{
    m_shuttingDown = true;
    if (m_follow && m_follow->groupEvents)
        m_follow->groupEvents->stop(); // unsubscribes
    m_follow.reset();
    m_airConnect->stopAndWait(msecs);
}

void BridgeController::deviceSettingsChanged()
{
    emit devicesChanged();
    bridgeSetMayHaveChanged(QStringLiteral("settings changed"));
}

void BridgeController::recordCrash()
{
    m_settings->crashesByVersion.insert(Settings::applicationVersion(),
                                        m_settings->crashCountForCurrentVersion() + 1);
    m_settings->save();
}

void BridgeController::setStatus(const QString& status)
{
    m_status = status;
    Logging::info(status);
    emit statusChanged(status);
}

void BridgeController::setOn(bool on)
{
    m_on = on;
    emit onChanged(on);
}

bool BridgeController::hasActiveSpeakers() const
{
    const QList<DeviceSettings> devices = m_settings->devices();
    return std::any_of(devices.cbegin(), devices.cend(),
                       [](const DeviceSettings& record) { return record.active; });
}

void BridgeController::onDiscoveryStarted()
{
    setStatus(kLookingForSpeakers);
    setOn(true);
    emit devicesChanged();
}

void BridgeController::onDeviceDiscovered(const SSDPMSearchResponse&, const DeviceInfo& deviceInfo,
                                          const DeviceTopology& deviceTopology)
{
    Settings& settings = *m_settings;
    const QUrl& location = deviceInfo.location;
    const QString defaultName = deviceInfo.defaultName();
    const QString where = QStringLiteral(" (") + location.toString() + QLatin1Char(')');

    std::optional<DeviceSettings> stored = settings.device(location);
    const bool isNew = !stored;
    bool moved = false;
    if (!stored && deviceInfo.udn) {
        // A speaker's address changes with DHCP, also while Corvane runs:
        // carry its record (the user's name and choice) over to the new
        // location instead of stranding it, so one record stands for it.
        for (const DeviceSettings& other : settings.devices()) {
            if (other.info.udn == deviceInfo.udn) {
                Logging::info(QStringLiteral("Moving ") + other.name + QStringLiteral(" from ") +
                              other.info.location.toString() + QStringLiteral(" to ") +
                              location.toString());
                settings.removeDevice(other.info.location);
                stored = other;
                moved = true;
                break;
            }
        }
    }
    if (stored)
        Logging::info(QStringLiteral("Updating menu item ") + stored->name + where);
    else
        Logging::info(QStringLiteral("Adding menu item ") + defaultName + where);
    const bool wasActive = stored && stored->active;
    DeviceSettings merged = mergeDiscovered(stored, deviceInfo, deviceTopology);
    if (m_airPlay && !QHostAddress(location.host()).isNull())
        merged.airPlayService = m_airPlay->serviceAt(QHostAddress(location.host()));
    settings.setDevice(location, merged);
    emit devicesChanged();
    if (merged.airPlayService && !m_airPlayLogged.contains(location.toString())) {
        m_airPlayLogged.insert(location.toString());
        Logging::info(merged.name + QStringLiteral(" plays AirPlay itself (") +
                      *merged.airPlayService + QLatin1Char(')'));
    }
    if (!m_follow)
        return;
    m_follow->retrySearch.stop();
    bridgeSetMayHaveChanged(merged.name + (moved                 ? QStringLiteral(" moved")
                                           : isNew || !wasActive ? QStringLiteral(" found")
                                                                 : QStringLiteral(" changed")));
    checkEarlySearchEnd();
}

void BridgeController::onDiscoveryComplete()
{
    if (!hasActiveSpeakers()) {
        Logging::warning(QStringLiteral("Discovery finished with no speakers found"));
        setStatus(QStringLiteral("Corvane: No Speakers Found"));
    } else if (m_stoppedByUser) {
        Logging::info(QStringLiteral("Discovery complete, bridge is stopped"));
    } else if (!m_airConnect->isRunning()) {
        Logging::info(QStringLiteral("Discovery complete, starting AirConnect"));
        startBridge();
    } else {
        Logging::info(QStringLiteral("Discovery complete, AirConnect already running"));
    }
    if (!m_follow)
        return;
    m_follow->earlyEnd = false;
    if (!hasActiveSpeakers() && !m_stoppedByUser)
        m_follow->retrySearch.start(); // the network may not be up yet
    followGroupEvents();
}

void BridgeController::onServiceStarted()
{
    setStatus(QStringLiteral("Corvane: Starting..."));
    SystemSleep::preventSleep();
}

void BridgeController::onServiceReady()
{
    setStatus(QStringLiteral("Corvane: Running"));
}

void BridgeController::onServiceTerminated()
{
    SystemSleep::allowSleep();
    setStatus(m_airConnect->isBridgeMissing() ? QStringLiteral("Corvane: AirConnect Not Installed")
                                              : QStringLiteral("Corvane: Stopped"));
    setOn(false);
    // A missing bridge is no crash: it is back once installed and turned on.
    if (!m_follow || m_stoppedByUser || m_stopRequested || m_shuttingDown || m_follow->gaveUp ||
        m_airConnect->isBridgeMissing())
        return;
    const std::optional<std::chrono::milliseconds> delay =
        m_follow->policy.onUnexpectedEnd(m_follow->runStartedAt, m_follow->clock.elapsed());
    if (!delay) {
        m_follow->gaveUp = true;
        const QString why = QStringLiteral(
            "AirConnect ended unexpectedly too often: not restarting it until Corvane is "
            "turned on again");
        Logging::warning(why, kFollow);
        m_follow->notifier->notify(QStringLiteral("Corvane stopped"), why);
        return;
    }
    Logging::info(
        QStringLiteral("AirConnect ended unexpectedly: restarting it in %1 ms").arg(delay->count()),
        kFollow);
    m_follow->restart.start(*delay);
}
