#pragma once

#include "log/Logging.h"

#include <QList>
#include <QString>

// Collects what the logging facade receives while it lives.
class LogCapture {
public:
    struct Line {
        Logging::Level level;
        Logging::Category category;
        QString message;
    };

    LogCapture()
    {
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            lines.append({level, category, message});
        });
    }
    ~LogCapture() { Logging::setReceiver({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Index of the first line at or after `from` that starts with `prefix`, or -1.
    qsizetype find(const QString& prefix, qsizetype from = 0) const
    {
        for (qsizetype i = from; i < lines.size(); ++i) {
            if (lines[i].message.startsWith(prefix))
                return i;
        }
        return -1;
    }
    bool has(Logging::Level level, const Logging::Category& category, const QString& prefix) const
    {
        for (const Line& line : lines) {
            if (line.level == level && line.category == category && line.message.startsWith(prefix))
                return true;
        }
        return false;
    }

    QList<Line> lines;
};
