#include "bridge/RestartPolicy.h"

#include <algorithm>

std::optional<std::chrono::milliseconds> RestartPolicy::onUnexpectedEnd(qint64 startedAt,
                                                                        qint64 now)
{
    m_ends.append(now);
    m_ends.erase(
        std::remove_if(m_ends.begin(), m_ends.end(),
                       [&](qint64 end) { return now - end >= m_options.giveUpWindow.count(); }),
        m_ends.end());
    if (m_ends.size() >= m_options.giveUpCount)
        return std::nullopt;
    if (m_nextDelay.count() == 0 || now - startedAt >= m_options.stableRun.count())
        m_nextDelay = m_options.initialDelay;
    const std::chrono::milliseconds delay = m_nextDelay;
    m_nextDelay = std::min(m_nextDelay * 2, m_options.maxDelay);
    return delay;
}

void RestartPolicy::reset()
{
    m_nextDelay = std::chrono::milliseconds(0);
    m_ends.clear();
}
