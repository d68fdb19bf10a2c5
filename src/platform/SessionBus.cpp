#include "platform/SessionBus.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QVariant>

namespace {

const QString daemonService = QStringLiteral("org.freedesktop.DBus");
const QString daemonPath = QStringLiteral("/org/freedesktop/DBus");

// RequestName flag and replies, as the bus daemon defines them.
constexpr uint doNotQueue = 4;
constexpr uint primaryOwner = 1;
constexpr uint alreadyOwner = 4;
constexpr uint exists = 3;

} // namespace

QDBusConnection SessionBus::defaultConnection()
{
    bool busKnown = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
    if (!busKnown) {
        const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
        busKnown = !runtimeDir.isEmpty() && QFileInfo::exists(runtimeDir + QStringLiteral("/bus"));
    }
    if (busKnown)
        return QDBusConnection::sessionBus();
    // A named handle that was never opened: isConnected() is false.
    return QDBusConnection(QStringLiteral("corvane-no-session-bus"));
}

SessionBus::SessionBus(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), m_connection(connection)
{
}

bool SessionBus::isConnected() const
{
    return m_connection.isConnected();
}

QDBusMessage SessionBus::callDaemon(const QString& method, const QVariantList& arguments) const
{
    if (!isConnected())
        return QDBusMessage::createError(QDBusError::Disconnected,
                                         QStringLiteral("no session bus"));
    QDBusMessage call =
        QDBusMessage::createMethodCall(daemonService, daemonPath, daemonService, method);
    call.setArguments(arguments);
    return m_connection.call(call, QDBus::Block, callTimeoutMs);
}

SessionBus::NameRequest SessionBus::registerName(const QString& name) const
{
    const QDBusMessage reply =
        callDaemon(QStringLiteral("RequestName"), {name, QVariant::fromValue(doNotQueue)});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return NameRequest::Failed;
    switch (reply.arguments().constFirst().toUInt()) {
    case primaryOwner:
    case alreadyOwner:
        return NameRequest::Owned;
    case exists:
        return NameRequest::Taken;
    default:
        return NameRequest::Failed;
    }
}

bool SessionBus::nameHasOwner(const QString& name) const
{
    const QDBusMessage reply = callDaemon(QStringLiteral("NameHasOwner"), {name});
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1 &&
           reply.arguments().constFirst().toBool();
}

QString SessionBus::nameOwner(const QString& name) const
{
    const QDBusMessage reply = callDaemon(QStringLiteral("GetNameOwner"), {name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return {};
    return reply.arguments().constFirst().toString();
}

bool SessionBus::emitKillLauncher(const QString& object) const
{
    if (!isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(killLauncherPath),
                                                     QLatin1String(killLauncherInterface),
                                                     QLatin1String(killLauncherMember));
    signal << object;
    return m_connection.send(signal);
}

bool SessionBus::subscribeKillLauncher(const QString& object, const QString& trustedName)
{
    if (!isConnected())
        return false;
    m_expectedObject = object;
    m_trustedName = trustedName;
    if (m_subscribed)
        return true;
    // QtDBus only offers the string-based connect for bus signals. An empty
    // service listens to every sender; onKillLauncher checks who sent it.
    m_subscribed = m_connection.connect(
        QString(), QLatin1String(killLauncherPath), QLatin1String(killLauncherInterface),
        QLatin1String(killLauncherMember), this, SLOT(onKillLauncher(QDBusMessage)));
    // QtDBus adds the match rule without waiting. The daemon handles one
    // connection's messages in order, so once it answered a later call the
    // rule is in place, and a program we launch next cannot signal too early.
    if (m_subscribed)
        callDaemon(QStringLiteral("GetId"), {});
    return m_subscribed;
}

void SessionBus::unsubscribeKillLauncher()
{
    if (!m_subscribed)
        return;
    m_connection.disconnect(QString(), QLatin1String(killLauncherPath),
                            QLatin1String(killLauncherInterface), QLatin1String(killLauncherMember),
                            this, SLOT(onKillLauncher(QDBusMessage)));
    m_subscribed = false;
}

void SessionBus::onKillLauncher(const QDBusMessage& message)
{
    const bool objectMatches = message.signature() == QLatin1String("s") &&
                               message.arguments().constFirst().toString() == m_expectedObject;
    // Asked at arrival: the bus handled the sender's RequestName before it
    // routed the sender's later signal, so a genuine owner is always seen.
    const bool trusted = objectMatches && !message.service().isEmpty() &&
                         message.service() == nameOwner(m_trustedName);
    if (trusted)
        Q_EMIT killLauncher();
    else
        Q_EMIT killLauncherIgnored();
}
