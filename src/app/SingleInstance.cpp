#include "app/SingleInstance.h"

#include "Version.h"
#include "log/Logging.h"
#include "platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>

SingleInstance::SingleInstance(SessionBus& bus, QString lockPath, QObject* parent)
    : QObject(parent), m_bus(bus), m_lock(std::move(lockPath))
{
}

bool SingleInstance::claim()
{
    const QString appId = QLatin1String(corvane::kAppId);
    const SessionBus::NameRequest request = m_bus.registerName(appId);
    if (request == SessionBus::NameRequest::Taken) {
        Logging::info(QStringLiteral("Corvane is already running: showing its preferences"));
        QDBusMessage call = QDBusMessage::createMethodCall(
            appId, QLatin1String(objectPath), QStringLiteral("org.corvane.Corvane.Application"),
            QStringLiteral("ShowPreferences"));
        m_bus.connection().call(call, QDBus::Block, SessionBus::callTimeoutMs);
        return false;
    }
    // The lock also marks us for the login helper when it finds no bus.
    if (!m_lock.tryLock()) {
        Logging::info(QStringLiteral("Corvane is already running (") + m_lock.path() +
                      QStringLiteral(" is held)"));
        return false;
    }
    if (request == SessionBus::NameRequest::Owned) {
        m_bus.connection().registerObject(QLatin1String(objectPath), this,
                                          QDBusConnection::ExportScriptableSlots);
    }
    return true;
}

void SingleInstance::ShowPreferences()
{
    Logging::info(QStringLiteral("ShowPreferences requested over the session bus"));
    Q_EMIT showPreferencesRequested();
}
