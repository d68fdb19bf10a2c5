#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace spdlog::sinks {
class sink;
}

// The logging facade every part of Corvane logs through: five levels, an
// optional category, a process-wide threshold and one attached receiver.
// Messages are data, never format patterns.
namespace Logging {

enum class Level { Verbose, Debug, Info, Warning, Error };

using Category = std::optional<QString>;
using Receiver = std::function<void(Level, const Category&, const QString&)>;

void verbose(const QString& message, const Category& category = std::nullopt);
void debug(const QString& message, const Category& category = std::nullopt);
void info(const QString& message, const Category& category = std::nullopt);
void warning(const QString& message, const Category& category = std::nullopt);
void error(const QString& message, const Category& category = std::nullopt);
void log(Level level, const QString& message, const Category& category = std::nullopt);

// Calls below the threshold are dropped before they reach any sink.
void setThreshold(Level level);
Level threshold();
bool passes(Level level);

// The one receiver (the log buffer in the application); an empty function detaches.
void setReceiver(Receiver receiver);

// Extra spdlog sinks (a log file, say) shared by every category's logger.
void addSink(std::shared_ptr<spdlog::sinks::sink> sink);
void removeSink(const std::shared_ptr<spdlog::sinks::sink>& sink);

// Routes Qt's own diagnostics through the facade with category "Qt".
void installQtMessageHandler();

// Fixed, distinct name per level, used in every line we write.
QString levelName(Level level);

} // namespace Logging
