#include "discovery/SSDPDiscovery.h"

#include "discovery/SSDPDiscoverySession.h"

#include <algorithm>
#include <cmath>

namespace {

// QTimer counts in int milliseconds; nobody searches for a day.
constexpr double kMaxTimeoutSeconds = 24 * 60 * 60;

} // namespace

SSDPDiscovery& SSDPDiscovery::defaultDiscovery()
{
    static SSDPDiscovery* instance = new SSDPDiscovery; // lives as long as the process
    return *instance;
}

SSDPDiscovery::SSDPDiscovery(Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options))
{
}

SSDPDiscovery::~SSDPDiscovery()
{
    for (const auto& session : m_openSessions)
        session->abandon();
}

SSDPDiscovery::BeginSearchResult SSDPDiscovery::beginSearch(const SSDPMSearchRequest& request,
                                                            std::optional<double> timeout)
{
    if (!request.delegate)
        return {nullptr, QStringLiteral("the search request has no delegate")};
    if (timeout && (!std::isfinite(*timeout) || *timeout < 0))
        return {nullptr, QStringLiteral("invalid search time-out %1").arg(*timeout)};

    // Deleted from the event loop: the last reference often goes inside one
    // of the session's own handlers.
    std::shared_ptr<SSDPDiscoverySession> session(
        new SSDPDiscoverySession(m_nextSessionId++, request, m_options,
                                 [this](SSDPDiscoverySession* s) { onSessionClosed(s); }),
        [](SSDPDiscoverySession* s) { s->deleteLater(); });
    QString error;
    if (!session->open(&error))
        return {nullptr, error};

    std::optional<std::chrono::milliseconds> length;
    if (timeout) {
        const double seconds = std::min(*timeout, kMaxTimeoutSeconds);
        length = std::chrono::milliseconds(qint64(std::llround(seconds * 1000)));
    }
    m_openSessions.push_back(session);
    session->start(length);
    return {session, {}};
}

void SSDPDiscovery::onSessionClosed(SSDPDiscoverySession* session)
{
    std::erase_if(m_openSessions, [session](const auto& open) { return open.get() == session; });
}
