#pragma once

#include "log/Logging.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <tuple>

// Collects what the logging facade receives while it lives.
struct LogCapture {
    using Line = std::tuple<Logging::Level, Logging::Category, QString>;

    LogCapture()
    {
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            lines.append({level, category, message});
        });
    }
    ~LogCapture() { Logging::setReceiver({}); }
    Q_DISABLE_COPY(LogCapture)

    bool has(Logging::Level level, const Logging::Category& category, const QString& prefix) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const Line& line) {
            const auto& [lineLevel, lineCategory, message] = line;
            return lineLevel == level && lineCategory == category && message.startsWith(prefix);
        });
    }
    // Whether lines starting with these prefixes came in this order.
    bool inOrder(const QStringList& prefixes) const
    {
        auto at = lines.begin();
        for (const QString& prefix : prefixes) {
            at = std::find_if(at, lines.end(), [&](const Line& line) {
                return std::get<2>(line).startsWith(prefix);
            });
            if (at++ == lines.end())
                return false;
        }
        return true;
    }

    QList<Line> lines;
};
