#include "log/Log.h"

#include <QStringList>

#include <cstdio>
#include <syslog.h>

namespace {

QString categoryText(const std::optional<QString>& category)
{
    return category ? *category : QStringLiteral("default");
}

int syslogPriority(Logging::Level level)
{
    switch (level) {
    case Logging::Level::Verbose:
    case Logging::Level::Debug:
        return LOG_DEBUG;
    case Logging::Level::Info:
        return LOG_INFO;
    case Logging::Level::Warning:
        return LOG_WARNING;
    case Logging::Level::Error:
        break;
    }
    return LOG_ERR;
}

} // namespace

QString LogMessage::lineForm() const
{
    const QString time = timestamp.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
                         QStringLiteral(" +0000");
    return QLatin1Char('[') + time + QStringLiteral("][") + Logging::levelName(level) +
           QStringLiteral("][") + categoryText(category) + QStringLiteral("] ") + message;
}

Log& Log::shared()
{
    static Log* instance = new Log; // never destroyed: threads may log during exit
    return *instance;
}

Log::Log(qint64 capacity) : m_capacity(qMax<qint64>(1, capacity))
{
    m_ring.reserve(size_t(m_capacity));
}

QString Log::echoLine(Logging::Level level, const std::optional<QString>& category,
                      const QString& message)
{
    return QLatin1Char('[') + Logging::levelName(level) + QStringLiteral("][") +
           categoryText(category) + QStringLiteral("] ") + message;
}

void Log::echo(Logging::Level level, const QString& line) const
{
    const QByteArray utf8 = line.toUtf8();
    // Written as data: the text is never a format pattern.
    syslog(syslogPriority(level), "%s", utf8.constData());
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stderr);
    std::fputc('\n', stderr);
}

void Log::receive(Logging::Level level, const std::optional<QString>& category,
                  const QString& message)
{
    LogMessage entry{QDateTime::currentDateTimeUtc(), level, category, message};
    std::lock_guard lock(m_mutex);
    if (m_echo)
        echo(level, echoLine(level, category, message));
    if (qint64(m_ring.size()) < m_capacity) {
        m_ring.push_back(std::move(entry));
    } else {
        m_ring[m_head] = std::move(entry);
        m_head = (m_head + 1) % m_ring.size();
    }
}

QList<LogMessage> Log::lines() const
{
    std::lock_guard lock(m_mutex);
    QList<LogMessage> out;
    out.reserve(qsizetype(m_ring.size()));
    for (size_t i = 0; i < m_ring.size(); ++i)
        out.append(m_ring[(m_head + i) % m_ring.size()]);
    return out;
}

qint64 Log::count() const
{
    std::lock_guard lock(m_mutex);
    return qint64(m_ring.size());
}

QString Log::dump(qint64 n) const
{
    std::lock_guard lock(m_mutex);
    const size_t size = m_ring.size();
    const size_t take = n <= 0 ? 0 : std::min(size, size_t(n));
    QStringList parts;
    parts.reserve(qsizetype(take));
    for (size_t i = size - take; i < size; ++i)
        parts.append(m_ring[(m_head + i) % size].lineForm());
    return parts.join(QLatin1Char('\n'));
}

void Log::setEchoEnabled(bool enabled)
{
    std::lock_guard lock(m_mutex);
    m_echo = enabled;
}

void Log::attach()
{
    Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                const QString& message) { receive(level, category, message); });
}
