#include "discovery/ZoneGroupEvents.h"

#include "discovery/ZoneGroupService.h"
#include "log/Logging.h"
#include "model/XmlText.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace {

const QString kCategory = QStringLiteral("events");
// Nobody needs a subscription longer than a day, and it keeps the timer arithmetic in range.
constexpr qint64 kMaxGrantedSeconds = 24 * 60 * 60;
// SUBSCRIBE answers carry no body; a speaker sending one gets no more buffered than this.
constexpr qint64 kGenaReadBuffer = 16 * 1024;

// The local address the system would send from to reach url's host: a UDP
// socket's connect picks the route without sending anything.
QHostAddress localAddressTowards(const QUrl& url)
{
    const QHostAddress peer(url.host());
    if (peer.protocol() != QAbstractSocket::IPv4Protocol)
        return {};
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(quint16(url.port(80)));
    remote.sin_addr.s_addr = htonl(peer.toIPv4Address());
    sockaddr_in local{};
    socklen_t length = sizeof local;
    QHostAddress address;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        address = QHostAddress(ntohl(local.sin_addr.s_addr));
    ::close(fd);
    return address;
}

// "Second-N" in seconds; "infinite" or anything unreadable counts as what we asked for.
qint64 grantedSeconds(const QByteArray& timeout, qint64 requested)
{
    if (!timeout.toLower().startsWith("second-"))
        return requested;
    const QByteArray digits = timeout.mid(7);
    bool ok = false;
    const qint64 seconds = digits.toLongLong(&ok);
    if (!ok || digits.size() > 12 || seconds < 0 || !std::isdigit(uchar(digits.front())))
        return requested;
    return std::min(seconds, kMaxGrantedSeconds);
}

} // namespace

ZoneGroupEvents::ZoneGroupEvents(Options options, QNetworkAccessManager* network, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_network(network)
{
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        // Speakers sit on the local network; a proxy from the environment would only get in the
        // way.
        m_network->setProxy(QNetworkProxy::NoProxy);
    }
    m_fetcher = new XmlFetcher(*m_network, {.transferTimeout = m_options.requestTimeout}, this);
    m_server = new GenaCallbackServer(m_options.callback, this);
    connect(m_server, &GenaCallbackServer::notified, this, &ZoneGroupEvents::onNotified);

    m_renewTimer.setSingleShot(true);
    connect(&m_renewTimer, &QTimer::timeout, this, &ZoneGroupEvents::renew);
    m_firstEventTimer.setSingleShot(true);
    m_firstEventTimer.setInterval(m_options.firstEventTimeout);
    connect(&m_firstEventTimer, &QTimer::timeout, this, &ZoneGroupEvents::onFirstEventTimeout);
    m_pollTimer.setInterval(m_options.pollInterval);
    connect(&m_pollTimer, &QTimer::timeout, this, &ZoneGroupEvents::poll);
}

ZoneGroupEvents::~ZoneGroupEvents()
{
    stop();
    delete m_fetcher; // its completions must not run into a half-destroyed object
}

void ZoneGroupEvents::start(const QList<QUrl>& speakers)
{
    stop();
    if (speakers.isEmpty())
        return;
    m_candidates = speakers;
    m_current = 0;
    m_tried = 0;
    setMode(Mode::Subscribing);
    tryCandidate();
}

void ZoneGroupEvents::stop()
{
    ++m_generation;
    m_renewTimer.stop();
    m_firstEventTimer.stop();
    m_pollTimer.stop();
    if (m_request) {
        disconnect(m_request, nullptr, this, nullptr);
        m_request->abort();
        m_request->deleteLater();
        m_request = nullptr;
    }
    unsubscribe();
    m_server->close();
    m_candidates.clear();
    m_speakers.clear();
    m_eventSeen = false;
    m_early.reset();
    m_fetchingState = false;
    m_lastState.clear();
    setMode(Mode::Stopped);
}

QUrl ZoneGroupEvents::speaker() const
{
    return m_candidates.isEmpty() ? QUrl() : m_candidates.at(m_current);
}

void ZoneGroupEvents::setMode(Mode mode)
{
    if (m_mode == mode)
        return;
    m_mode = mode;
    emit modeChanged(mode);
}

void ZoneGroupEvents::tryCandidate()
{
    if (m_tried >= m_candidates.size()) {
        startPolling(QStringLiteral("No speaker of the household accepted an event subscription"));
        return;
    }
    ++m_tried;
    setMode(Mode::Subscribing);
    const QUrl location = m_candidates.at(m_current);
    if (m_speakers.contains(location)) {
        subscribe();
        return;
    }
    m_fetcher->get(location, [this, location, generation = m_generation](const auto& error,
                                                                         const auto& document) {
        if (generation == m_generation)
            onDescription(location, error, document);
    });
}

void ZoneGroupEvents::nextCandidate()
{
    m_current = (m_current + 1) % m_candidates.size();
    tryCandidate();
}

void ZoneGroupEvents::onDescription(const QUrl& location, const std::optional<FetchError>& error,
                                    const XmlFetcher::Document& document)
{
    const pugi::xml_node device = document->child("root").child("device");
    const Speaker speaker{ZoneGroupService::url(device, location, "eventSubURL"),
                          ZoneGroupService::url(device, location, "controlURL")};
    if (error || speaker.eventUrl.isEmpty()) {
        Logging::warning(QStringLiteral("No ZoneGroupTopology event URL in the description at ") +
                             location.toString(),
                         kCategory);
        nextCandidate();
        return;
    }
    m_speakers.insert(location, speaker);
    subscribe();
}

QNetworkReply* ZoneGroupEvents::sendGena(const QByteArray& verb, const QUrl& url,
                                         const QList<QPair<QByteArray, QByteArray>>& headers)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(m_options.requestTimeout.count()));
    // A subscription is for the speaker we chose, never for wherever it points us.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply* reply = m_network->sendCustomRequest(request, verb);
    reply->setReadBufferSize(kGenaReadBuffer);
    return reply;
}

void ZoneGroupEvents::subscribe()
{
    const QUrl eventUrl = m_speakers.value(speaker()).eventUrl;
    const QHostAddress address = m_options.callbackAddress.isNull() ? localAddressTowards(eventUrl)
                                                                    : m_options.callbackAddress;
    QString error;
    if (address.isNull() || !m_server->listen(address, &error)) {
        Logging::warning(QStringLiteral("Cannot listen for events from %1: %2")
                             .arg(eventUrl.toString(),
                                  error.isEmpty() ? QStringLiteral("no local address") : error),
                         kCategory);
        nextCandidate();
        return;
    }
    m_server->acceptAnySid();
    m_sid.clear();
    m_eventSeen = false;
    m_early.reset();
    Logging::info(QStringLiteral("Subscribing to ") + eventUrl.toString(), kCategory);
    m_request = sendGena(
        "SUBSCRIBE", eventUrl,
        {{"CALLBACK", '<' + m_server->callbackUrl().toEncoded() + '>'},
         {"NT", "upnp:event"},
         {"TIMEOUT", "Second-" + QByteArray::number(qint64(m_options.requestedDuration.count()))}});
    QNetworkReply* reply = m_request;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onSubscribed(reply, false); });
}

void ZoneGroupEvents::renew()
{
    if (m_sid.isEmpty() || m_request)
        return;
    m_request = sendGena(
        "SUBSCRIBE", m_speakers.value(speaker()).eventUrl,
        {{"SID", m_sid.toUtf8()},
         {"TIMEOUT", "Second-" + QByteArray::number(qint64(m_options.requestedDuration.count()))}});
    QNetworkReply* reply = m_request;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onSubscribed(reply, true); });
}

void ZoneGroupEvents::onSubscribed(QNetworkReply* reply, bool renewal)
{
    reply->deleteLater();
    if (reply != m_request)
        return;
    m_request = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray sid = reply->rawHeader("SID").trimmed();
    const QString eventUrl = m_speakers.value(speaker()).eventUrl.toString();
    const bool accepted = status == 200 && reply->error() == QNetworkReply::NoError &&
                          (renewal || (sid.startsWith("uuid:") && sid.size() <= 256));
    if (!accepted) {
        const QString why = status ? QStringLiteral("HTTP %1").arg(status) : reply->errorString();
        Logging::warning(QStringLiteral("%1 at %2 failed: %3")
                             .arg(renewal ? QStringLiteral("Renewing the subscription")
                                          : QStringLiteral("Subscribing"),
                                  eventUrl, why),
                         kCategory);
        m_sid.clear(); // a refused renewal means the speaker has forgotten us
        m_server->close();
        m_firstEventTimer.stop();
        // After a lapse this starts a new round (m_tried was reset on acceptance).
        nextCandidate();
        return;
    }

    const qint64 requested = m_options.requestedDuration.count();
    const qint64 granted = grantedSeconds(reply->rawHeader("TIMEOUT").trimmed(), requested);
    const auto delay = std::max<qint64>(m_options.minimumRenewDelay.count(),
                                        qint64(double(granted) * 1000 * m_options.renewAt));
    m_renewTimer.start(std::chrono::milliseconds(delay));
    if (renewal)
        return;

    m_sid = QString::fromLatin1(sid);
    m_server->setExpectedSid(m_sid);
    m_tried = 0; // accepted: a later lapse starts a new round of speakers
    Logging::info(QStringLiteral("Subscribed to %1 for %2 s").arg(eventUrl).arg(granted),
                  kCategory);
    setMode(Mode::Subscribed);
    const auto early = std::exchange(m_early, std::nullopt);
    if (early && early->first == m_sid) {
        onEvent(early->second);
        return;
    }
    m_firstEventTimer.start();
}

void ZoneGroupEvents::onNotified(const QString& sid, const QByteArray& body)
{
    if (m_sid.isEmpty()) {
        // Overtook the SUBSCRIBE answer; kept until that tells whether it is ours.
        m_early.emplace(sid, body);
        return;
    }
    if (sid == m_sid)
        onEvent(body);
}

void ZoneGroupEvents::onEvent(const QByteArray& body)
{
    if (!m_eventSeen) {
        m_eventSeen = true;
        m_firstEventTimer.stop();
        Logging::info(QStringLiteral("Receiving group events from ") + speaker().toString(),
                      kCategory);
    }
    pugi::xml_document document;
    XmlText::parse(document, body);
    // Events about the service's other variables carry no state.
    if (const auto state = ZoneGroupState::fromPropertySet(document))
        report(*state);
}

void ZoneGroupEvents::onFirstEventTimeout()
{
    if (m_eventSeen || m_mode != Mode::Subscribed)
        return;
    unsubscribe();
    startPolling(QStringLiteral("No event arrived from %1 within %2 ms of subscribing; a "
                                "firewall may be dropping connections to us")
                     .arg(speaker().toString())
                     .arg(m_options.firstEventTimeout.count()));
}

void ZoneGroupEvents::unsubscribe()
{
    m_renewTimer.stop();
    if (m_sid.isEmpty())
        return;
    QNetworkReply* reply =
        sendGena("UNSUBSCRIBE", m_speakers.value(speaker()).eventUrl, {{"SID", m_sid.toUtf8()}});
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    m_sid.clear();
    m_server->close();
}

void ZoneGroupEvents::startPolling(const QString& why)
{
    if (m_mode == Mode::Polling)
        return;
    Logging::warning(why + QStringLiteral("; asking for the zone group state every %1 ms instead")
                               .arg(m_options.pollInterval.count()),
                     kCategory);
    m_server->close();
    setMode(Mode::Polling);
    m_pollTimer.start();
    poll();
}

void ZoneGroupEvents::poll()
{
    if (m_fetchingState || m_candidates.isEmpty())
        return;
    const QUrl location = speaker();
    QUrl control = m_speakers.value(location).controlUrl;
    if (control.isEmpty()) // description unknown: where every ZonePlayer has it
        control = location.resolved(QUrl(QStringLiteral("/ZoneGroupTopology/Control")));
    m_fetchingState = true;
    m_fetcher->postSoap(control, ZoneGroupService::getZoneGroupStateAction(),
                        ZoneGroupService::getZoneGroupStateEnvelope(),
                        [this, generation = m_generation](const auto& error, const auto& document) {
                            if (generation == m_generation)
                                onZoneGroupState(error, document);
                        });
}

void ZoneGroupEvents::onZoneGroupState(const std::optional<FetchError>& error,
                                       const XmlFetcher::Document& document)
{
    m_fetchingState = false;
    const auto state = error ? std::nullopt : ZoneGroupState::fromSoapResponse(document->root());
    if (state) {
        report(*state);
        return;
    }
    Logging::warning(QStringLiteral("No zone group state from ") + speaker().toString(), kCategory);
    // While polling, the next attempt goes to another speaker of the household.
    if (m_mode == Mode::Polling)
        m_current = (m_current + 1) % m_candidates.size();
}

void ZoneGroupEvents::report(const QByteArray& stateText)
{
    if (stateText == m_lastState)
        return;
    pugi::xml_document document;
    if (!XmlText::parse(document, stateText) ||
        (!document.child("ZoneGroupState") && !document.child("ZoneGroups"))) {
        Logging::warning(QStringLiteral("Unreadable zone group state from ") + speaker().toString(),
                         kCategory);
        return;
    }
    m_lastState = stateText;
    emit groupStateChanged(ZoneGroupState(document));
}
