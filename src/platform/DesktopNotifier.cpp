#include "platform/DesktopNotifier.h"

#include "Version.h"
#include "log/Logging.h"
#include "platform/SessionBus.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QMetaObject>
#include <QVariantMap>

namespace {

const Logging::Category kCategory = QStringLiteral("DesktopNotifier");

const QString kService = QStringLiteral("org.freedesktop.Notifications");

// The server's default display time.
constexpr qint32 kDefaultExpiry = -1;

} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : DesktopNotifier(Options{}, parent) {}

DesktopNotifier::DesktopNotifier(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
}

QString DesktopNotifier::plainBody(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            escaped += QStringLiteral("&amp;");
        else if (c == u'<')
            escaped += QStringLiteral("&lt;");
        else if (c == u'>')
            escaped += QStringLiteral("&gt;");
        else
            escaped += c;
    }
    return escaped;
}

void DesktopNotifier::notify(const QString& summary, const QString& body)
{
    if (!m_options.bus)
        m_options.bus = SessionBus::defaultConnection();
    if (!m_options.bus->isConnected()) {
        giveUp(QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    hasOwner << kService;
    auto* watcher = new QDBusPendingCallWatcher(
        m_options.bus->asyncCall(hasOwner, m_options.callTimeoutMs), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, summary, body](QDBusPendingCallWatcher* w) { onHasOwnerReply(w, summary, body); });
}

void DesktopNotifier::onHasOwnerReply(QDBusPendingCallWatcher* watcher, const QString& summary,
                                      const QString& body)
{
    watcher->deleteLater();
    const QDBusMessage reply = watcher->reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != u"b" ||
        !reply.arguments().constFirst().toBool()) {
        giveUp(QStringLiteral("no notification service"));
        return;
    }
    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                       kService, QStringLiteral("Notify"));
    notify << QStringLiteral("Corvane") << quint32(0) << QString::fromUtf8(corvane::kAppId)
           << summary << plainBody(body) << QStringList() << QVariantMap() << kDefaultExpiry;
    auto* call = new QDBusPendingCallWatcher(
        m_options.bus->asyncCall(notify, m_options.callTimeoutMs), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &DesktopNotifier::onNotifyReply);
}

void DesktopNotifier::onNotifyReply(QDBusPendingCallWatcher* watcher)
{
    watcher->deleteLater();
    const QDBusMessage reply = watcher->reply();
    if (reply.type() != QDBusMessage::ReplyMessage) {
        Logging::info(QStringLiteral("Notification not shown: %1").arg(reply.errorMessage()),
                      kCategory);
        Q_EMIT finished(false);
        return;
    }
    Q_EMIT finished(true);
}

void DesktopNotifier::giveUp(const QString& why)
{
    Logging::info(QStringLiteral("Notification not shown: %1").arg(why), kCategory);
    // Queued, so that finished() never comes from inside notify().
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT finished(false); }, Qt::QueuedConnection);
}
