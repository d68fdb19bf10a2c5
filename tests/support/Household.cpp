#include "support/Household.h"

#include "Version.h"
#include "platform/SystemSleep.h"

#include <QFile>

using namespace std::chrono_literals;

namespace {

DeviceDiscovery::Options nobodyAnswers()
{
    DeviceDiscovery::Options options;
    // Nobody answers on this port of loopback; a search just runs out.
    options.ssdp.destinations = {SSDPDestination{QHostAddress(QHostAddress::LocalHost), 9}};
    return options;
}

} // namespace

QUrl locationOf(const QString& host)
{
    return QUrl(QStringLiteral("http://%1:1400/xml/device_description.xml").arg(host));
}

DeviceInfo speakerAt(const QString& host, const QString& room, const QString& udn)
{
    DeviceInfo info(locationOf(host));
    info.roomName = room;
    info.displayName = QStringLiteral("One");
    info.udn = udn;
    return info;
}

Household::Household(Bridge installed)
    : discovery(nobodyAnswers()),
      bridge({installed == Bridge::Installed
                  ? QStringLiteral(TEST_SUPPORT_DIR "/fake-bridge-ready")
                  : bridgeFolder() + u'/' + QString::fromUtf8(corvane::kBridgeName),
              dir.filePath(QStringLiteral("airupnp.xml")), 10s, 500ms, 100ms})
{
    SystemSleep::setInhibitor(&inhibitor);
}

Household::~Household()
{
    bridge.stopAndWait(2000);
    SystemSleep::setInhibitor(nullptr);
}

void Household::discover(const DeviceInfo& info, bool coordinator)
{
    emit discovery.deviceDiscovered(SSDPMSearchResponse{}, info,
                                    DeviceTopology(coordinator, QStringLiteral("G")));
}

QString Household::config() const
{
    QFile file(bridge.configPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
