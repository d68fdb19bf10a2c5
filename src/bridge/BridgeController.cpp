#include "bridge/BridgeController.h"

#include "bridge/AirConnect.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Logging.h"
#include "platform/SystemSleep.h"
#include "settings/Settings.h"

#include <optional>

namespace {

const QString kLookingForSpeakers = QStringLiteral("Corvane: Looking For Speakers...");

} // namespace

BridgeController::BridgeController(const Services& services, QObject* parent)
    : QObject(parent), m_settings(services.settings ? services.settings : &Settings::shared()),
      m_discovery(services.discovery ? services.discovery : &DeviceDiscovery::shared()),
      m_airConnect(services.airConnect ? services.airConnect : &AirConnect::shared())
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
}

void BridgeController::launch()
{
    m_stoppedByUser = false;
    m_discovery->searchForDevices(searchTimeout);
}

void BridgeController::turnOn()
{
    setStatus(kLookingForSpeakers);
    setOn(true);
    m_stoppedByUser = false;
    m_discovery->searchForDevices(searchTimeout);
}

void BridgeController::turnOff()
{
    m_stoppedByUser = true;
    setStatus(QStringLiteral("Corvane: Off"));
    setOn(false);
    emit appStopped();
    m_discovery->stopSearching();
    m_airConnect->stop();
}

void BridgeController::shutdown(int msecs)
{
    m_airConnect->stopAndWait(msecs);
}

void BridgeController::deviceSettingsChanged()
{
    emit devicesChanged();
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
    if (!stored && deviceInfo.udn) {
        // A speaker's address changes with DHCP: carry its record (the user's
        // name and choice) over to the new location instead of stranding it.
        for (const DeviceSettings& other : settings.devices()) {
            if (other.info.udn == deviceInfo.udn && !other.active) {
                Logging::info(QStringLiteral("Moving ") + other.name + QStringLiteral(" from ") +
                              other.info.location.toString() + QStringLiteral(" to ") +
                              location.toString());
                settings.removeDevice(other.info.location);
                stored = other;
                break;
            }
        }
    }
    if (stored)
        Logging::info(QStringLiteral("Updating menu item ") + stored->name + where);
    else
        Logging::info(QStringLiteral("Adding menu item ") + defaultName + where);
    settings.setDevice(location, mergeDiscovered(stored, deviceInfo, deviceTopology));
    emit devicesChanged();
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
        m_airConnect->start(m_settings->devices());
    } else {
        Logging::info(QStringLiteral("Discovery complete, AirConnect already running"));
    }
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
}
