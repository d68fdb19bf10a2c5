#pragma once

#include "log/Logging.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <mutex>
#include <optional>
#include <vector>

// One captured message.
struct LogMessage {
    QDateTime timestamp;
    Logging::Level level = Logging::Level::Info;
    std::optional<QString> category;
    QString message;

    // "[2017-06-01 10:20:30 +0000][INFO][default] message"
    QString lineForm() const;
};

// The facade's receiver: echoes each message to standard error and the system
// log, and keeps the most recent ones in memory for saved logs and crash reports.
class Log {
public:
    static constexpr qint64 maxLines = 1000;

    static Log& shared();

    explicit Log(qint64 capacity = maxLines);
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // The receiver operation; safe from any thread.
    void receive(Logging::Level level, const std::optional<QString>& category,
                 const QString& message);

    // The line forms of the last n messages, oldest first, joined by "\n".
    QString dump(qint64 n) const;

    QList<LogMessage> lines() const;
    qint64 count() const;

    // Tests and benchmarks turn the echo off to keep their output readable.
    void setEchoEnabled(bool enabled);

    // Makes this buffer the facade's receiver.
    void attach();

    // "[INFO][default] message": the echo line, which has no timestamp.
    static QString echoLine(Logging::Level level, const std::optional<QString>& category,
                            const QString& message);

private:
    void echo(Logging::Level level, const QString& line) const;

    const qint64 m_capacity;
    mutable std::mutex m_mutex;
    std::vector<LogMessage> m_ring; // grows to m_capacity, then m_head marks the oldest
    size_t m_head = 0;
    bool m_echo = true;
};
