#include "discovery/SSDPNotifyListener.h"

#include "discovery/SSDPNotifyMessage.h"
#include "log/Logging.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QVariant>

namespace {

const QString kCategory = QStringLiteral("SSDP");
const QString kZonePlayerType = QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1");
// Every speaker announces on start-up and every few minutes; room for a large household.
constexpr int kReceiveBufferSize = 256 * 1024;

QList<QNetworkInterface> multicastInterfaces(bool includeLoopback)
{
    QList<QNetworkInterface> usable;
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const bool loopback = interface.flags().testFlag(QNetworkInterface::IsLoopBack);
        if ((interface.flags() & wanted) != wanted || (loopback && !includeLoopback) ||
            (!loopback && !interface.flags().testFlag(QNetworkInterface::CanMulticast)))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                usable.append(interface);
                break;
            }
        }
    }
    return usable;
}

} // namespace

SSDPNotifyListener::SSDPNotifyListener(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
    m_clock.start();
}

SSDPNotifyListener::~SSDPNotifyListener() = default;

bool SSDPNotifyListener::start(QString* error)
{
    if (m_socket)
        return true;
    auto* socket = new QUdpSocket(this);
    // Other UPnP software on this machine listens on the same port.
    if (!socket->bind(QHostAddress::AnyIPv4, m_options.port,
                      QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        const QString text = socket->errorString();
        delete socket;
        Logging::error(QStringLiteral("Cannot listen for SSDP announcements: ") + text, kCategory);
        if (error)
            *error = text;
        return false;
    }
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferSize);
    connect(socket, &QUdpSocket::readyRead, this, &SSDPNotifyListener::onReadyRead);
    m_socket = socket;
    rejoin();
    return true;
}

void SSDPNotifyListener::stop()
{
    delete m_socket; // leaves the groups it joined
    m_socket = nullptr;
    m_recent.clear();
}

quint16 SSDPNotifyListener::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

void SSDPNotifyListener::rejoin()
{
    if (!m_socket)
        return;
    QStringList joined;
    for (const QNetworkInterface& interface : multicastInterfaces(m_options.includeLoopback)) {
        // Leaving first makes the join succeed on interfaces we were already on.
        m_socket->leaveMulticastGroup(m_options.group, interface);
        if (m_socket->joinMulticastGroup(m_options.group, interface))
            joined.append(interface.name());
        else
            Logging::warning(
                QStringLiteral("Cannot join %1 on %2: %3")
                    .arg(m_options.group.toString(), interface.name(), m_socket->errorString()),
                kCategory);
    }
    Logging::info(QStringLiteral("Listening for SSDP announcements on port %1, interfaces: %2")
                      .arg(m_socket->localPort())
                      .arg(joined.isEmpty() ? QStringLiteral("none") : joined.join(u", ")),
                  kCategory);
}

void SSDPNotifyListener::onReadyRead()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        // One byte more than we accept, so an oversized datagram is refused, not cut.
        const QNetworkDatagram datagram =
            m_socket->receiveDatagram(SSDPNotifyMessage::kMaxDatagramSize + 1);
        handle(datagram.data(), datagram.senderAddress());
    }
}

void SSDPNotifyListener::handle(const QByteArray& datagram, const QHostAddress& sender)
{
    // M-SEARCH requests of other control points arrive here too; they are no announcements.
    if (!datagram.startsWith("NOTIFY "))
        return;
    QString reason;
    const auto message = SSDPNotifyMessage::parse(datagram, &reason);
    if (!message) {
        Logging::debug(
            QStringLiteral("Ignoring SSDP NOTIFY from %1: %2").arg(sender.toString(), reason),
            kCategory);
        return;
    }
    if (message->notificationType != kZonePlayerType)
        return;
    const bool gone = message->kind == SSDPNotifyMessage::Kind::ByeBye;
    if (!gone) {
        // Only a speaker itself may say where its description is.
        bool converted = false;
        const QHostAddress host(message->location.host());
        const quint32 senderIPv4 = sender.toIPv4Address(&converted);
        if (host.isNull() || !converted || host.toIPv4Address() != senderIPv4) {
            Logging::debug(QStringLiteral("Ignoring SSDP NOTIFY from %1 for %2")
                               .arg(sender.toString(), message->location.toString()),
                           kCategory);
            return;
        }
    }
    const QString key = gone ? QStringLiteral("bye ") + message->udn
                             : message->udn + u' ' + message->location.toString();
    if (!admit(key))
        return;
    if (gone)
        emit byebye(message->udn);
    else
        emit alive(message->location, message->udn);
}

bool SSDPNotifyListener::admit(const QString& key)
{
    const qint64 now = m_clock.elapsed();
    const auto last = m_recent.constFind(key);
    if (last != m_recent.cend() && now - *last < m_options.repeatInterval.count())
        return false;

    if (now - m_windowStart >= m_options.floodWindow.count()) {
        m_windowStart = now;
        m_windowCount = 0;
        m_windowWarned = false;
    }
    if (m_windowCount >= m_options.maxPerWindow) {
        if (!m_windowWarned)
            Logging::warning(QStringLiteral("More than %1 SSDP announcements in %2 ms; "
                                            "dropping the rest for now")
                                 .arg(m_options.maxPerWindow)
                                 .arg(m_options.floodWindow.count()),
                             kCategory);
        m_windowWarned = true;
        return false;
    }
    ++m_windowCount;

    if (m_recent.size() >= m_options.maxRemembered) {
        m_recent.removeIf([this, now](const auto& entry) {
            return now - entry.value() >= m_options.repeatInterval.count();
        });
        // Still full: forgetting costs at most a repeated report, never memory.
        if (m_recent.size() >= m_options.maxRemembered)
            m_recent.clear();
    }
    m_recent.insert(key, now);
    return true;
}
