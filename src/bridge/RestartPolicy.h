#pragma once

#include <QList>

#include <chrono>
#include <optional>

// When a bridge that ended unexpectedly is started again: after a delay that
// doubles from initialDelay up to maxDelay, reset by a run that stayed up for
// stableRun; no more restarts once giveUpCount ends fell within giveUpWindow.
// Times are milliseconds on any monotonic clock the caller keeps.
class RestartPolicy {
public:
    struct Options {
        std::chrono::milliseconds initialDelay{2000};
        std::chrono::milliseconds maxDelay{60000};
        std::chrono::milliseconds stableRun{5 * 60 * 1000};
        int giveUpCount = 5;
        std::chrono::milliseconds giveUpWindow{10 * 60 * 1000};
    };

    RestartPolicy() = default;
    explicit RestartPolicy(const Options& options) : m_options(options) {}

    // A run started at startedAt ended unexpectedly at now: the delay before
    // the next start, or nothing when it is time to give up.
    std::optional<std::chrono::milliseconds> onUnexpectedEnd(qint64 startedAt, qint64 now);
    // Starts afresh (the user turned Corvane on again).
    void reset();

private:
    Options m_options;
    std::chrono::milliseconds m_nextDelay{0};
    QList<qint64> m_ends;
};
