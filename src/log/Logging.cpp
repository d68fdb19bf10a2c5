#include "log/Logging.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Logging {
namespace {

spdlog::level::level_enum toSpd(Level level)
{
    switch (level) {
    case Level::Verbose:
        return spdlog::level::trace;
    case Level::Debug:
        return spdlog::level::debug;
    case Level::Info:
        return spdlog::level::info;
    case Level::Warning:
        return spdlog::level::warn;
    case Level::Error:
        break;
    }
    return spdlog::level::err;
}

Level fromSpd(spdlog::level::level_enum level)
{
    switch (level) {
    case spdlog::level::trace:
        return Level::Verbose;
    case spdlog::level::debug:
        return Level::Debug;
    case spdlog::level::info:
        return Level::Info;
    case spdlog::level::warn:
        return Level::Warning;
    default:
        return Level::Error;
    }
}

// Hands every record to the attached receiver. The default logger carries no
// name, which is how an absent category travels through spdlog.
class ReceiverSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    void setReceiver(Receiver receiver)
    {
        std::lock_guard lock(mutex_);
        m_receiver = std::move(receiver);
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        if (!m_receiver)
            return;
        Category category;
        if (msg.logger_name.size() > 0)
            category = QString::fromUtf8(msg.logger_name.data(), qsizetype(msg.logger_name.size()));
        m_receiver(fromSpd(msg.level), category,
                   QString::fromUtf8(msg.payload.data(), qsizetype(msg.payload.size())));
    }
    void flush_() override {}

private:
    Receiver m_receiver;
};

struct Registry {
    std::mutex mutex;
    std::shared_ptr<ReceiverSink> receiverSink = std::make_shared<ReceiverSink>();
    std::vector<spdlog::sink_ptr> extraSinks;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;

    std::vector<spdlog::sink_ptr> sinks() const
    {
        std::vector<spdlog::sink_ptr> all{receiverSink};
        all.insert(all.end(), extraSinks.begin(), extraSinks.end());
        return all;
    }

    void resetSinks()
    {
        for (auto& [name, logger] : loggers)
            logger->sinks() = sinks();
    }

    std::shared_ptr<spdlog::logger> logger(const std::string& name)
    {
        std::lock_guard lock(mutex);
        auto it = loggers.find(name);
        if (it != loggers.end())
            return it->second;
        auto sinkList = sinks();
        auto created = std::make_shared<spdlog::logger>(name, sinkList.begin(), sinkList.end());
        // The facade filters; the loggers pass on whatever they are given.
        created->set_level(spdlog::level::trace);
        loggers.emplace(name, created);
        return created;
    }
};

Registry& registry()
{
    static Registry* instance = new Registry; // never destroyed: logging may happen at exit
    return *instance;
}

std::atomic<Level> g_threshold{Level::Verbose};

void qtMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    Level level = Level::Debug;
    switch (type) {
    case QtDebugMsg:
        level = Level::Debug;
        break;
    case QtInfoMsg:
        level = Level::Info;
        break;
    case QtWarningMsg:
        level = Level::Warning;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        level = Level::Error;
        break;
    }
    log(level, message, QStringLiteral("Qt"));
}

} // namespace

void log(Level level, const QString& message, const Category& category)
{
    if (!passes(level))
        return;
    // An explicit empty category reads back as absent: the name is the only carrier.
    const std::string name = category ? category->toStdString() : std::string();
    const QByteArray utf8 = message.toUtf8();
    // The string_view overload never formats: "{}" and "%s" stay as they are.
    registry().logger(name)->log(toSpd(level),
                                 spdlog::string_view_t(utf8.constData(), size_t(utf8.size())));
}

void verbose(const QString& message, const Category& category)
{
    log(Level::Verbose, message, category);
}
void debug(const QString& message, const Category& category)
{
    log(Level::Debug, message, category);
}
void info(const QString& message, const Category& category)
{
    log(Level::Info, message, category);
}
void warning(const QString& message, const Category& category)
{
    log(Level::Warning, message, category);
}
void error(const QString& message, const Category& category)
{
    log(Level::Error, message, category);
}

void setThreshold(Level level)
{
    g_threshold.store(level);
}

Level threshold()
{
    return g_threshold.load();
}

bool passes(Level level)
{
    return int(level) >= int(g_threshold.load());
}

void setReceiver(Receiver receiver)
{
    registry().receiverSink->setReceiver(std::move(receiver));
}

void addSink(std::shared_ptr<spdlog::sinks::sink> sink)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.extraSinks.push_back(std::move(sink));
    r.resetSinks();
}

void removeSink(const std::shared_ptr<spdlog::sinks::sink>& sink)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase(r.extraSinks, sink);
    r.resetSinks();
}

void installQtMessageHandler()
{
    qInstallMessageHandler(qtMessageHandler);
}

QString levelName(Level level)
{
    switch (level) {
    case Level::Verbose:
        return QStringLiteral("VERBOSE");
    case Level::Debug:
        return QStringLiteral("DEBUG");
    case Level::Info:
        return QStringLiteral("INFO");
    case Level::Warning:
        return QStringLiteral("WARNING");
    case Level::Error:
        break;
    }
    return QStringLiteral("ERROR");
}

} // namespace Logging
