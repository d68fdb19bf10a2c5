#include "platform/AirPlayReceivers.h"

#include "log/Logging.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QNetworkInterface>

#include <algorithm>

namespace {

const QString kCategory = QStringLiteral("AirPlay");

const QString kServerInterface = QStringLiteral("org.freedesktop.Avahi.Server");
const QString kBrowserInterface = QStringLiteral("org.freedesktop.Avahi.ServiceBrowser");
const QString kAirPlayType = QStringLiteral("_airplay._tcp");
const QString kRaopType = QStringLiteral("_raop._tcp");
const char* const kBrowserSignals[] = {"ItemNew", "ItemRemove", "AllForNow", "Failure"};

// Avahi's constants (avahi-common/defs.h).
constexpr int kInterfaceUnspecified = -1;
constexpr int kProtocolInet = 0;

// A DNS name is at most 255 bytes and a DNS-SD instance name 63, so anything
// longer is not a real service.
constexpr qsizetype kMaxNameBytes = 255;
constexpr qsizetype kMaxTxtEntries = 64;
constexpr qsizetype kMaxTxtBytes = 2048;
constexpr qsizetype kMaxAddressChars = 64;

// For logs and signals: no control characters from the network.
QString printable(const QString& text)
{
    QString out = text;
    for (QChar& c : out) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = QChar::ReplacementCharacter;
    }
    return out;
}

bool fits(const QString& text)
{
    return text.size() <= kMaxNameBytes && text.toUtf8().size() <= kMaxNameBytes;
}

// The TXT strings, bounded: at most kMaxTxtEntries pairs and kMaxTxtBytes in
// all; the first value of a key wins, as DNS-SD says.
QMap<QString, QString> txtRecords(const QVariant& value)
{
    QMap<QString, QString> records;
    qsizetype bytes = 0;
    auto add = [&](const QByteArray& entry) {
        if (entry.size() > kMaxNameBytes) // a DNS TXT string has a length byte
            return true;
        if (records.size() >= kMaxTxtEntries || bytes + entry.size() > kMaxTxtBytes)
            return false;
        const qsizetype equals = entry.indexOf('=');
        const QByteArray key = equals < 0 ? entry : entry.left(equals);
        if (key.isEmpty())
            return true;
        for (const char c : key) {
            if (c < 0x20 || c > 0x7e)
                return true;
        }
        const QString name = QString::fromLatin1(key).toLower();
        if (records.contains(name))
            return true;
        bytes += entry.size();
        records.insert(name, equals < 0 ? QString()
                                        : printable(QString::fromUtf8(entry.mid(equals + 1))));
        return true;
    };
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument argument = qvariant_cast<QDBusArgument>(value);
        if (argument.currentType() != QDBusArgument::ArrayType)
            return records;
        argument.beginArray();
        while (!argument.atEnd()) {
            QByteArray entry;
            argument >> entry;
            if (!add(entry))
                break;
        }
        argument.endArray();
    } else {
        for (const QByteArray& entry : value.value<QByteArrayList>()) {
            if (!add(entry))
                break;
        }
    }
    return records;
}

} // namespace

AirPlayReceivers::AirPlayReceivers(QObject* parent) : AirPlayReceivers(Options{}, parent) {}

AirPlayReceivers::AirPlayReceivers(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)),
      m_bus(m_options.bus ? *m_options.bus : QDBusConnection::systemBus())
{
}

AirPlayReceivers::~AirPlayReceivers()
{
    // Fire and forget: the daemon would free them when we leave the bus, but
    // the connection outlives us.
    for (const QString& path : std::as_const(m_browserPaths)) {
        m_bus.send(QDBusMessage::createMethodCall(m_owner, path, kBrowserInterface,
                                                  QStringLiteral("Free")));
    }
    if (isBrowsing())
        subscribe(false);
}

void AirPlayReceivers::start()
{
    if (m_started)
        return;
    m_started = true;
    if (!m_bus.isConnected()) {
        unavailable();
        return;
    }
    // Watching first: an owner that comes after our question is still seen.
    m_watcher = new QDBusServiceWatcher(QString::fromLatin1(serviceName), m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &AirPlayReceivers::onOwnerChanged);
    queryOwner();
}

void AirPlayReceivers::queryOwner()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    call << QString::fromLatin1(serviceName);
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.callTimeoutMs), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation != m_generation)
                    return; // the service watcher has spoken since
                const QDBusMessage reply = w->reply();
                const QString owner = reply.arguments().value(0).toString();
                if (reply.type() == QDBusMessage::ReplyMessage && owner.startsWith(u':'))
                    beginBrowsing(owner);
                else
                    unavailable();
            });
}

void AirPlayReceivers::onOwnerChanged(const QString&, const QString&, const QString& newOwner)
{
    if (newOwner == m_owner)
        return;
    ++m_generation;
    if (isBrowsing()) {
        Logging::info(QStringLiteral("Avahi left the bus: forgetting its AirPlay receivers"),
                      kCategory);
        endBrowsing();
        m_reportedAbsent = true; // that line said it
    }
    if (newOwner.startsWith(u':'))
        beginBrowsing(newOwner);
    else
        unavailable();
}

void AirPlayReceivers::unavailable()
{
    // Said once per absence: the service watcher, not a retry loop, notices
    // when Avahi comes.
    if (m_reportedAbsent)
        return;
    m_reportedAbsent = true;
    Logging::info(QStringLiteral("Avahi is not available: speakers that play AirPlay themselves "
                                 "are not detected"),
                  kCategory);
    emit availabilityChanged(false);
}

void AirPlayReceivers::beginBrowsing(const QString& owner)
{
    m_owner = owner;
    m_reportedAbsent = false;
    m_warnedFull = false;
    // The signal match comes before the browsers: Avahi reports what it has
    // cached as soon as a browser exists, before we could learn its path. The
    // match takes every path of Avahi's; the daemon sends browser signals only
    // to the client that made the browser.
    subscribe(true);
    createBrowser(kAirPlayType);
    createBrowser(kRaopType);
    Logging::info(QStringLiteral("Browsing for AirPlay receivers through Avahi"), kCategory);
    emit availabilityChanged(true);
}

void AirPlayReceivers::endBrowsing()
{
    subscribe(false);
    m_owner.clear();
    m_browserPaths.clear();
    m_queue.clear();
    m_resolving = 0;
    QList<QHostAddress> gone = addresses();
    m_services.clear();
    for (const QHostAddress& address : std::as_const(gone))
        emit receiverRemoved(address);
    emit availabilityChanged(false);
}

void AirPlayReceivers::subscribe(bool on)
{
    for (const char* member : kBrowserSignals) {
        if (on) {
            m_bus.connect(m_owner, QString(), kBrowserInterface, QLatin1String(member), this,
                          SLOT(onBrowserSignal(QDBusMessage)));
        } else {
            m_bus.disconnect(m_owner, QString(), kBrowserInterface, QLatin1String(member), this,
                             SLOT(onBrowserSignal(QDBusMessage)));
        }
    }
}

void AirPlayReceivers::createBrowser(const QString& type)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        m_owner, QStringLiteral("/"), kServerInterface, QStringLiteral("ServiceBrowserNew"));
    call << kInterfaceUnspecified << kProtocolInet << type << QString() << quint32(0);
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.callTimeoutMs), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation, type](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation != m_generation)
                    return;
                const QDBusMessage reply = w->reply();
                const QVariant path = reply.arguments().value(0);
                if (reply.type() == QDBusMessage::ReplyMessage &&
                    path.metaType() == QMetaType::fromType<QDBusObjectPath>()) {
                    m_browserPaths.append(qvariant_cast<QDBusObjectPath>(path).path());
                } else {
                    Logging::warning(QStringLiteral("Avahi does not browse for %1: %2")
                                         .arg(type, printable(reply.errorMessage())),
                                     kCategory);
                }
            });
}

void AirPlayReceivers::onBrowserSignal(const QDBusMessage& message)
{
    if (!isBrowsing() || message.service() != m_owner)
        return;
    const QString member = message.member();
    if (member == QLatin1String("ItemNew")) {
        onItemNew(message);
    } else if (member == QLatin1String("ItemRemove")) {
        onItemRemove(message);
    } else if (member == QLatin1String("AllForNow")) {
        Logging::debug(QStringLiteral("Avahi listed the AirPlay services it knows"), kCategory);
    } else if (member == QLatin1String("Failure")) {
        Logging::warning(
            QStringLiteral("Avahi's browser failed: %1")
                .arg(printable(message.arguments().value(0).toString().left(kMaxNameBytes))),
            kCategory);
    }
}

std::optional<AirPlayReceivers::ServiceKey> AirPlayReceivers::keyOf(const QDBusMessage& message)
{
    if (message.signature() != QLatin1String("iisssu"))
        return std::nullopt;
    const QVariantList args = message.arguments();
    ServiceKey key;
    key.interface = args.value(0).toInt();
    key.protocol = args.value(1).toInt();
    key.name = args.value(2).toString();
    key.type = args.value(3).toString();
    key.domain = args.value(4).toString();
    if (key.protocol != kProtocolInet || (key.type != kAirPlayType && key.type != kRaopType) ||
        key.name.isEmpty() || !fits(key.name) || !fits(key.domain))
        return std::nullopt;
    return key;
}

void AirPlayReceivers::onItemNew(const QDBusMessage& message)
{
    const std::optional<ServiceKey> key = keyOf(message);
    if (!key || m_services.count(*key))
        return;
    if (trackedServiceCount() >= m_options.maxServices) {
        if (!m_warnedFull) {
            m_warnedFull = true;
            Logging::warning(QStringLiteral("More than %1 AirPlay services: ignoring the rest")
                                 .arg(m_options.maxServices),
                             kCategory);
        }
        return;
    }
    Service& service = m_services[*key];
    service.serial = ++m_nextSerial;
    service.receiver.name = printable(key->name);
    service.receiver.type = key->type;
    m_queue.push_back(*key);
    resolveNext();
}

void AirPlayReceivers::onItemRemove(const QDBusMessage& message)
{
    const std::optional<ServiceKey> key = keyOf(message);
    if (!key)
        return;
    const auto found = m_services.find(*key);
    if (found == m_services.end())
        return;
    // A resolution in flight finds its serial gone; a queued one is skipped.
    const QHostAddress address = found->second.receiver.address;
    const bool resolved = found->second.state == State::Resolved;
    const std::optional<QString> before = resolved ? serviceAt(address) : std::nullopt;
    if (found->second.state == State::Resolving)
        --m_resolving;
    const auto queued = std::find(m_queue.begin(), m_queue.end(), *key);
    if (queued != m_queue.end())
        m_queue.erase(queued);
    m_services.erase(found);
    if (resolved)
        announce(address, before);
    resolveNext();
}

void AirPlayReceivers::resolveNext()
{
    while (m_resolving < m_options.maxResolving && !m_queue.empty()) {
        const ServiceKey key = m_queue.front();
        m_queue.pop_front();
        const auto found = m_services.find(key);
        if (found == m_services.end() || found->second.state != State::Queued)
            continue;
        found->second.state = State::Resolving;
        ++m_resolving;
        QDBusMessage call = QDBusMessage::createMethodCall(
            m_owner, QStringLiteral("/"), kServerInterface, QStringLiteral("ResolveService"));
        call << key.interface << key.protocol << key.name << key.type << key.domain << kProtocolInet
             << quint32(0);
        auto* watcher =
            new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_options.callTimeoutMs), this);
        const quint64 serial = found->second.serial;
        const quint64 generation = m_generation;
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, key, serial, generation](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    if (generation == m_generation)
                        onResolved(key, serial, w);
                });
    }
}

void AirPlayReceivers::onResolved(const ServiceKey& key, quint64 serial,
                                  QDBusPendingCallWatcher* watcher)
{
    const auto found = m_services.find(key);
    if (found == m_services.end() || found->second.serial != serial)
        return; // removed meanwhile, and its slot already given back
    Service& service = found->second;
    --m_resolving;
    service.state = State::Failed;

    const QDBusMessage reply = watcher->reply();
    const QVariantList args = reply.arguments();
    const QHostAddress address(args.value(7).toString().left(kMaxAddressChars));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        Logging::debug(QStringLiteral("Avahi did not resolve %1: %2")
                           .arg(service.receiver.name, printable(reply.errorMessage())),
                       kCategory);
    } else if (reply.signature() != QLatin1String("iissssisqaayu") ||
               address.protocol() != QAbstractSocket::IPv4Protocol) {
        Logging::debug(
            QStringLiteral("Avahi resolved %1 to no IPv4 address").arg(service.receiver.name),
            kCategory);
    } else if (isOwnAddress(address)) {
        Logging::debug(QStringLiteral("Ignoring %1 at this computer's address %2")
                           .arg(service.receiver.name, address.toString()),
                       kCategory);
    } else {
        const std::optional<QString> before = serviceAt(address);
        service.state = State::Resolved;
        service.receiver.host = printable(args.value(5).toString().left(kMaxNameBytes));
        service.receiver.address = address;
        service.receiver.port = quint16(args.value(8).toUInt());
        service.receiver.txt = txtRecords(args.value(9));
        Logging::info(QStringLiteral("AirPlay receiver %1 (%2) at %3")
                          .arg(service.receiver.name, service.receiver.type, address.toString()),
                      kCategory);
        announce(address, before);
    }
    resolveNext();
}

bool AirPlayReceivers::isOwnAddress(const QHostAddress& address) const
{
    // Asked each time: addresses come and go with DHCP and links.
    const QList<QHostAddress> system = QNetworkInterface::allAddresses();
    auto same = [&](const QHostAddress& own) {
        return own.isEqual(address);
    };
    return std::any_of(system.begin(), system.end(), same) ||
           std::any_of(m_options.ownAddresses.begin(), m_options.ownAddresses.end(), same);
}

std::optional<QString> AirPlayReceivers::serviceAt(const QHostAddress& address) const
{
    std::optional<QString> raop;
    for (const auto& [key, service] : m_services) {
        if (service.state != State::Resolved || !service.receiver.address.isEqual(address))
            continue;
        if (service.receiver.type == kAirPlayType)
            return service.receiver.name;
        if (!raop) {
            const QString& name = service.receiver.name;
            const qsizetype at = name.indexOf(u'@');
            raop = at >= 0 && at + 1 < name.size() ? name.mid(at + 1) : name;
        }
    }
    return raop;
}

QList<AirPlayReceivers::Receiver> AirPlayReceivers::servicesAt(const QHostAddress& address) const
{
    QList<Receiver> receivers;
    for (const auto& [key, service] : m_services) {
        if (service.state == State::Resolved && service.receiver.address.isEqual(address))
            receivers.append(service.receiver);
    }
    return receivers;
}

QList<QHostAddress> AirPlayReceivers::addresses() const
{
    QList<QHostAddress> result;
    for (const auto& [key, service] : m_services) {
        if (service.state == State::Resolved && !result.contains(service.receiver.address))
            result.append(service.receiver.address);
    }
    return result;
}

void AirPlayReceivers::announce(const QHostAddress& address, const std::optional<QString>& before)
{
    const std::optional<QString> now = serviceAt(address);
    if (now && now != before)
        emit receiverFound(address, *now);
    else if (!now && before)
        emit receiverRemoved(address);
}
