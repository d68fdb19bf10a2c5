#include "discovery/SSDPDiscoverySession.h"

#include "discovery/SSDPDiscoveryDelegate.h"
#include "discovery/SSDPMSearchResponse.h"
#include "log/Logging.h"

#include <QNetworkDatagram>
#include <QVariant>

#include <QNetworkInterface>
#include <QUdpSocket>
#include <algorithm>

namespace {

const QString kCategory = QStringLiteral("SSDP");
// Room for a burst of answers from a large household.
constexpr int kReceiveBufferSize = 1024 * 1024;

QList<QNetworkInterface> multicastInterfaces()
{
    QList<QNetworkInterface> usable;
    const auto wanted =
        QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanMulticast;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if ((interface.flags() & wanted) != wanted ||
            interface.flags().testFlag(QNetworkInterface::IsLoopBack))
            continue;
        const auto addresses = interface.addressEntries();
        const bool hasIPv4 = std::any_of(addresses.begin(), addresses.end(), [](const auto& entry) {
            return entry.ip().protocol() == QAbstractSocket::IPv4Protocol;
        });
        if (hasIPv4)
            usable.append(interface);
    }
    return usable;
}

} // namespace

SSDPDiscoverySession::SSDPDiscoverySession(int id, SSDPMSearchRequest request,
                                           const SSDPDiscovery::Options& options,
                                           std::function<void(SSDPDiscoverySession*)> onClosed)
    : m_id(id), m_request(std::move(request)), m_options(options), m_onClosed(std::move(onClosed))
{
    m_retransmitTimer.setInterval(m_options.retransmitInterval);
    connect(&m_retransmitTimer, &QTimer::timeout, this, &SSDPDiscoverySession::sendRequest);
    m_timeoutTimer.setSingleShot(true);
    // A coarse timer may run 5% (400 ms of 8 s) late; the session length is what the user waits.
    m_timeoutTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timeoutTimer, &QTimer::timeout, this, [this] {
        if (m_state != State::Open)
            return;
        stopIO();
        finish();
    });
}

SSDPDiscoverySession::~SSDPDiscoverySession() = default;

bool SSDPDiscoverySession::open(QString* error)
{
    m_socket = new QUdpSocket(this);
    if (!m_socket->bind(m_options.bindAddress, m_options.bindPort)) {
        *error = m_socket->errorString();
        m_state = State::Closed;
        return false;
    }
    m_socket->setSocketOption(QAbstractSocket::MulticastTtlOption, m_options.multicastTtl);
    m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferSize);
    connect(m_socket, &QUdpSocket::readyRead, this, &SSDPDiscoverySession::onReadyRead);
    return true;
}

void SSDPDiscoverySession::start(std::optional<std::chrono::milliseconds> timeout)
{
    if (timeout) {
        m_timeoutTimer.setInterval(*timeout);
        m_timeoutTimer.start();
    }
    sendRequest();
    if (m_state == State::Open && m_transmissions < m_options.transmissions)
        m_retransmitTimer.start();
}

quint16 SSDPDiscoverySession::localPort() const
{
    return m_socket ? m_socket->localPort() : 0;
}

QString SSDPDiscoverySession::description() const
{
    return QStringLiteral("SSDPDiscoverySession(id: %1, st: %2)")
        .arg(m_id)
        .arg(m_request.searchTarget.toString());
}

void SSDPDiscoverySession::end()
{
    if (m_state != State::Open)
        return;
    // Reported before end() returns, so a caller that ends a session and starts
    // the next one never hears of the old one afterwards.
    stopIO();
    finish();
}

void SSDPDiscoverySession::abandon()
{
    stopIO();
    m_state = State::Closed;
}

void SSDPDiscoverySession::sendRequest()
{
    if (m_state != State::Open)
        return;
    if (++m_transmissions >= m_options.transmissions)
        m_retransmitTimer.stop();

    for (const auto& [address, port] : m_options.destinations) {
        const QByteArray datagram = m_request.datagram(address.toString(), port);
        if (!address.isMulticast()) {
            if (m_socket->writeDatagram(datagram, address, port) < 0)
                Logging::debug(QStringLiteral("M-SEARCH to %1 failed: %2")
                                   .arg(address.toString(), m_socket->errorString()),
                               kCategory);
            continue;
        }
        const QList<QNetworkInterface> interfaces = multicastInterfaces();
        if (interfaces.isEmpty() && m_transmissions == 1)
            Logging::warning(QStringLiteral("No network interface to send M-SEARCH on"), kCategory);
        for (const QNetworkInterface& interface : interfaces) {
            m_socket->setMulticastInterface(interface);
            if (m_socket->writeDatagram(datagram, address, port) < 0)
                Logging::debug(QStringLiteral("M-SEARCH on %1 failed: %2")
                                   .arg(interface.name(), m_socket->errorString()),
                               kCategory);
        }
    }
}

void SSDPDiscoverySession::onReadyRead()
{
    // The delegate may end the session, and so close the socket, from a callback.
    while (m_state == State::Open && m_socket->hasPendingDatagrams()) {
        const qint64 size = m_socket->pendingDatagramSize();
        if (size > SSDPMSearchResponse::kMaxDatagramSize) {
            m_socket->readDatagram(nullptr, 0); // discards it
            Logging::debug(QStringLiteral("Dropping SSDP datagram of %1 bytes").arg(size),
                           kCategory);
            continue;
        }
        const QNetworkDatagram datagram =
            m_socket->receiveDatagram(SSDPMSearchResponse::kMaxDatagramSize);
        handleDatagram(datagram.data(), datagram.senderAddress().toString());
    }
}

void SSDPDiscoverySession::handleDatagram(const QByteArray& datagram, const QString& sender)
{
    QString reason;
    const auto response = SSDPMSearchResponse::parse(datagram, &reason);
    if (!response) {
        Logging::debug(QStringLiteral("Dropping SSDP answer from %1: %2").arg(sender, reason),
                       kCategory);
        return;
    }
    // Some stacks answer every search with whatever they are; we asked for one target.
    if (m_request.searchTarget.kind() != SSDPSearchTarget::Kind::All &&
        response->searchTarget.compare(m_request.searchTarget.toString(), Qt::CaseInsensitive) !=
            0) {
        Logging::debug(QStringLiteral("Dropping SSDP answer from %1 for %2")
                           .arg(sender, response->searchTarget),
                       kCategory);
        return;
    }
    // Our own retransmissions make a device answer several times.
    const QString key = response->usn + QLatin1Char('\n') + response->location.toString();
    if (m_seen.contains(key))
        return;
    if (m_seen.size() >= kMaxAnswers) {
        if (!m_floodLogged)
            Logging::warning(QStringLiteral("More than %1 SSDP answers in %2, ignoring the rest")
                                 .arg(kMaxAnswers)
                                 .arg(description()),
                             kCategory);
        m_floodLogged = true;
        return;
    }
    m_seen.insert(key);

    if (SSDPSearchTarget::isServiceTarget(response->searchTarget))
        m_request.delegate->discoveredService(*response, *this);
    else
        m_request.delegate->discoveredDevice(*response, *this);
}

void SSDPDiscoverySession::stopIO()
{
    m_retransmitTimer.stop();
    m_timeoutTimer.stop();
    if (m_socket)
        m_socket->close();
}

void SSDPDiscoverySession::finish()
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    m_request.delegate->closedSession(*this);
    if (m_onClosed)
        m_onClosed(this);
}
