#include "platform/ResumeWatcher.h"

#include "log/Logging.h"

#include <QDBusMessage>

namespace {

const Logging::Category kCategory = QStringLiteral("ResumeWatcher");

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kMember = QStringLiteral("PrepareForSleep");

} // namespace

ResumeWatcher::ResumeWatcher(QObject* parent) : ResumeWatcher(Options{}, parent) {}

ResumeWatcher::ResumeWatcher(Options options, QObject* parent)
    : QObject(parent), m_bus(std::move(options.bus))
{
}

ResumeWatcher::~ResumeWatcher()
{
    stop();
}

bool ResumeWatcher::start()
{
    if (m_active)
        return true;
    if (!m_bus)
        m_bus = QDBusConnection::systemBus();
    if (!m_bus->isConnected()) {
        if (!m_reportedNoBus) {
            Logging::info(QStringLiteral("No system bus: resume from suspend goes unnoticed"),
                          kCategory);
            m_reportedNoBus = true;
        }
        return false;
    }
    // Naming logind as the sender makes QtDBus match on its current unique
    // owner, so another client of the bus cannot fake a wake-up.
    m_active = m_bus->connect(kService, kPath, kInterface, kMember, this,
                              SLOT(onPrepareForSleep(QDBusMessage)));
    if (!m_active)
        Logging::warning(QStringLiteral("Cannot listen for resume from suspend: %1")
                             .arg(m_bus->lastError().message()),
                         kCategory);
    return m_active;
}

void ResumeWatcher::stop()
{
    if (!m_active)
        return;
    m_bus->disconnect(kService, kPath, kInterface, kMember, this,
                      SLOT(onPrepareForSleep(QDBusMessage)));
    m_active = false;
}

void ResumeWatcher::onPrepareForSleep(const QDBusMessage& message)
{
    if (message.signature() != u"b")
        return;
    if (message.arguments().constFirst().toBool()) {
        Logging::debug(QStringLiteral("The computer is going to sleep"), kCategory);
        Q_EMIT suspending();
    } else {
        Logging::debug(QStringLiteral("The computer woke up"), kCategory);
        Q_EMIT resumed();
    }
}
