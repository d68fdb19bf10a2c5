#include "platform/SleepInhibitor.h"

#include "Version.h"
#include "log/Logging.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QTimer>
#include <QVariantMap>

#include <iterator>
#include <utility>

namespace {

struct ServiceCall {
    SleepInhibitor::Service service;
    bool systemBus;
    const char* name;
    const char* path;
    const char* interface;
};

// Tried in this order: the first two are what GNOME and KDE act on for idle
// suspend; the portal covers sandboxes; logind covers IdleAction set-ups.
constexpr ServiceCall kServices[] = {
    {SleepInhibitor::Service::GnomeSessionManager, false, "org.gnome.SessionManager",
     "/org/gnome/SessionManager", "org.gnome.SessionManager"},
    {SleepInhibitor::Service::PowerManagement, false, "org.freedesktop.PowerManagement",
     "/org/freedesktop/PowerManagement/Inhibit", "org.freedesktop.PowerManagement.Inhibit"},
    {SleepInhibitor::Service::Portal, false, "org.freedesktop.portal.Desktop",
     "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit"},
    {SleepInhibitor::Service::Logind, true, "org.freedesktop.login1", "/org/freedesktop/login1",
     "org.freedesktop.login1.Manager"},
};
constexpr int kServiceCount = int(std::size(kServices));

// GNOME's "suspend" flag; the portal uses the same bit.
constexpr quint32 kSuspendFlag = 4;

const ServiceCall& callFor(SleepInhibitor::Service service)
{
    for (const ServiceCall& call : kServices) {
        if (call.service == service)
            return call;
    }
    return kServices[0];
}

QString text(const char* s)
{
    return QString::fromLatin1(s);
}

} // namespace

SleepInhibitor::SleepInhibitor(QObject* parent) : QObject(parent) {}

SleepInhibitor::SleepInhibitor(const QDBusConnection& sessionBus, const QDBusConnection& systemBus,
                               QObject* parent)
    : QObject(parent), m_sessionBus(sessionBus), m_systemBus(systemBus)
{
}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

QString SleepInhibitor::serviceName(Service service)
{
    if (service == Service::None)
        return QStringLiteral("none");
    return text(callFor(service).name);
}

QDBusConnection SleepInhibitor::busFor(Service service)
{
    if (callFor(service).systemBus) {
        if (!m_systemBus)
            m_systemBus = QDBusConnection::systemBus();
        return *m_systemBus;
    }
    if (!m_sessionBus)
        m_sessionBus = QDBusConnection::sessionBus();
    return *m_sessionBus;
}

void SleepInhibitor::inhibit(const QString& reason)
{
    if (m_pending || isHeld())
        return;
    m_pending = true;
    m_reason = reason;
    const quint64 generation = ++m_generation;
    // Starting from the event loop keeps finished() out of the caller's frame.
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_generation && m_pending)
            tryService(0);
    });
}

void SleepInhibitor::tryService(int index)
{
    if (index >= kServiceCount) {
        fail();
        return;
    }
    const ServiceCall& call = kServices[index];
    QDBusConnection bus = busFor(call.service);
    if (!bus.isConnected()) {
        tryService(index + 1);
        return;
    }
    if (call.service == Service::Logind &&
        !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        tryService(index + 1);
        return;
    }
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    hasOwner << text(call.name);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(hasOwner, m_timeout), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, index, generation](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (generation != m_generation)
                    return;
                const QDBusMessage reply = w->reply();
                if (reply.type() == QDBusMessage::ReplyMessage &&
                    reply.arguments().value(0).toBool()) {
                    callInhibit(index);
                } else {
                    tryService(index + 1);
                }
            });
}

void SleepInhibitor::callInhibit(int index)
{
    const ServiceCall& call = kServices[index];
    QDBusMessage message = QDBusMessage::createMethodCall(
        text(call.name), text(call.path), text(call.interface), QStringLiteral("Inhibit"));
    switch (call.service) {
    case Service::GnomeSessionManager:
        message << QString::fromUtf8(corvane::kAppId) << quint32(0) << m_reason << kSuspendFlag;
        break;
    case Service::PowerManagement:
        message << QStringLiteral("Corvane") << m_reason;
        break;
    case Service::Portal:
        message << QString() << kSuspendFlag << QVariantMap{{QStringLiteral("reason"), m_reason}};
        break;
    case Service::Logind:
        message << QStringLiteral("idle") << QStringLiteral("Corvane") << m_reason
                << QStringLiteral("block");
        break;
    case Service::None:
        break;
    }
    QDBusConnection bus = busFor(call.service);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, m_timeout), this);
    const quint64 generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, index, generation](QDBusPendingCallWatcher* w) {
                onInhibitReply(index, generation, w);
            });
}

void SleepInhibitor::onInhibitReply(int index, quint64 generation, QDBusPendingCallWatcher* watcher)
{
    watcher->deleteLater();
    const ServiceCall& call = kServices[index];
    const QDBusMessage reply = watcher->reply();
    const QVariant value = reply.arguments().value(0);

    bool granted = reply.type() == QDBusMessage::ReplyMessage;
    quint32 cookie = 0;
    QString requestPath;
    QDBusUnixFileDescriptor descriptor;
    if (granted) {
        switch (call.service) {
        case Service::GnomeSessionManager:
        case Service::PowerManagement:
            granted = value.metaType() == QMetaType::fromType<uint>();
            cookie = value.toUInt();
            break;
        case Service::Portal:
            granted = value.metaType() == QMetaType::fromType<QDBusObjectPath>();
            requestPath = qvariant_cast<QDBusObjectPath>(value).path();
            break;
        case Service::Logind:
            descriptor = qvariant_cast<QDBusUnixFileDescriptor>(value);
            granted = descriptor.isValid();
            cookie = quint32(descriptor.fileDescriptor());
            break;
        case Service::None:
            granted = false;
            break;
        }
    }

    if (generation != m_generation) {
        // Abandoned by release(): give a late grant straight back.
        if (granted)
            giveBack(call.service, cookie, requestPath);
        return;
    }
    if (!granted) {
        Logging::debug(QStringLiteral("%1 did not inhibit idle sleep: %2")
                           .arg(text(call.name), reply.type() == QDBusMessage::ErrorMessage
                                                     ? reply.errorMessage()
                                                     : QStringLiteral("unexpected reply")));
        tryService(index + 1);
        return;
    }
    m_pending = false;
    m_service = call.service;
    m_cookie = cookie;
    m_requestPath = requestPath;
    m_descriptor = descriptor;
    m_grantor = reply.service();
    m_lapsed = false;
    Logging::debug(QStringLiteral("Idle sleep inhibited through %1").arg(text(call.name)));
    watchServices();
    if (std::exchange(m_renewing, false))
        emit renewed(true);
    else
        emit finished(true);
}

void SleepInhibitor::fail()
{
    m_pending = false;
    Logging::debug(QStringLiteral("No service on the bus inhibits idle sleep"));
    if (std::exchange(m_renewing, false)) {
        if (std::exchange(m_appeared, false)) {
            renew();
            return;
        }
        m_lapsed = true; // the watchers stay, for the next service to appear
        emit renewed(false);
        return;
    }
    emit finished(false);
}

void SleepInhibitor::watchServices()
{
    if (!m_watchers.isEmpty())
        return;
    for (const ServiceCall& call : kServices) {
        QDBusConnection bus = busFor(call.service);
        if (!bus.isConnected())
            continue;
        auto* watcher = new QDBusServiceWatcher(text(call.name), bus,
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                &SleepInhibitor::onOwnerChanged);
        m_watchers.append(watcher);
    }
}

void SleepInhibitor::onOwnerChanged(const QString& name, const QString& oldOwner,
                                    const QString& newOwner)
{
    if (m_pending) {
        // A renewal may already have found this one absent: it asks again if it gets nothing.
        m_appeared = m_appeared || (m_renewing && !newOwner.isEmpty());
        return;
    }
    if (isHeld()) {
        if (name != serviceName(m_service) || oldOwner.isEmpty() ||
            (!m_grantor.isEmpty() && oldOwner != m_grantor))
            return;
        Logging::info(QStringLiteral("Idle sleep inhibitor lapsed: %1 quit or restarted; "
                                     "taking a new one")
                          .arg(name));
        // Nothing to give back: the service that knew it is gone.
        m_service = Service::None;
        m_cookie = 0;
        m_requestPath.clear();
        m_descriptor = QDBusUnixFileDescriptor();
        m_grantor.clear();
        renew();
        return;
    }
    if (m_lapsed && !newOwner.isEmpty())
        renew();
}

void SleepInhibitor::renew()
{
    m_appeared = false;
    m_pending = true;
    m_renewing = true;
    ++m_generation;
    tryService(0);
}

void SleepInhibitor::giveBack(Service service, quint32 cookie, const QString& requestPath)
{
    const ServiceCall& call = callFor(service);
    QDBusMessage message;
    switch (service) {
    case Service::GnomeSessionManager:
        message = QDBusMessage::createMethodCall(text(call.name), text(call.path),
                                                 text(call.interface), QStringLiteral("Uninhibit"));
        message << cookie;
        break;
    case Service::PowerManagement:
        message = QDBusMessage::createMethodCall(text(call.name), text(call.path),
                                                 text(call.interface), QStringLiteral("UnInhibit"));
        message << cookie;
        break;
    case Service::Portal:
        message = QDBusMessage::createMethodCall(text(call.name), requestPath,
                                                 QStringLiteral("org.freedesktop.portal.Request"),
                                                 QStringLiteral("Close"));
        break;
    case Service::Logind: // closing the descriptor releases it
    case Service::None:
        return;
    }
    // Fire and forget: the release needs no answer, and quitting must not wait.
    busFor(service).send(message);
}

void SleepInhibitor::release()
{
    qDeleteAll(std::exchange(m_watchers, {}));
    m_lapsed = false;
    if (m_pending) {
        m_pending = false;
        m_renewing = false;
        ++m_generation;
        return;
    }
    if (!isHeld())
        return;
    giveBack(m_service, m_cookie, m_requestPath);
    Logging::debug(
        QStringLiteral("Idle sleep inhibitor given back to %1").arg(serviceName(m_service)));
    m_service = Service::None;
    m_cookie = 0;
    m_requestPath.clear();
    m_descriptor = QDBusUnixFileDescriptor();
    m_grantor.clear();
}
