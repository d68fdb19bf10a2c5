#include "log/LogFile.h"

#include "Version.h"
#include "log/Logging.h"
#include "platform/SystemError.h"

#include <spdlog/sinks/base_sink.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kBaseName = QStringLiteral("corvane");
const QString kSuffix = QStringLiteral(".log");
// Only the end of a file can matter for a session's last lines.
constexpr qint64 kMaxReadPerFile = 4 * 1024 * 1024;

QString filePath(const QString& directory, int index)
{
    if (index == 0)
        return directory + QLatin1Char('/') + kBaseName + kSuffix;
    return directory + QLatin1Char('/') + kBaseName + QLatin1Char('.') + QString::number(index) +
           kSuffix;
}

Logging::Level levelOf(spdlog::level::level_enum level)
{
    switch (level) {
    case spdlog::level::trace:
        return Logging::Level::Verbose;
    case spdlog::level::debug:
        return Logging::Level::Debug;
    case spdlog::level::info:
        return Logging::Level::Info;
    case spdlog::level::warn:
        return Logging::Level::Warning;
    default:
        return Logging::Level::Error;
    }
}

// The Log buffer's line form. Further lines of a multi-line message are
// indented so that no message can pass for a line, or a marker, of its own.
QByteArray formatLine(qint64 msecsSinceEpoch, Logging::Level level, const QString& category,
                      const QString& message)
{
    const QString time = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC)
                             .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QString text = message;
    text.replace(QLatin1Char('\n'), QStringLiteral("\n    "));
    return (QLatin1Char('[') + time + QStringLiteral(" +0000][") + Logging::levelName(level) +
            QStringLiteral("][") + category + QStringLiteral("] ") + text + QLatin1Char('\n'))
        .toUtf8();
}

QString markerText(const char* what)
{
    return QStringLiteral("Corvane %1 %2, process %3")
        .arg(QString::fromUtf8(corvane::kVersion), QLatin1String(what),
             QString::number(qint64(::getpid())));
}

const QRegularExpression& markerPattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        "^\\[[^\\]]*\\]\\[INFO\\]\\[session\\] Corvane \\S+ (started|continued), process (\\d+)$"));
    return pattern;
}

bool writeAll(int fd, const QByteArray& data)
{
    const char* p = data.constData();
    size_t left = size_t(data.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

// Appends lines with write(2), so nothing sits in a buffer when the process
// dies, and rotates before a line would take the file past its size.
class RotatingLineSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    RotatingLineSink(QString directory, qint64 maxSize, int files)
        : m_directory(std::move(directory)), m_maxSize(maxSize), m_files(std::max(1, files))
    {
    }
    ~RotatingLineSink() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool open(QString* error)
    {
        std::lock_guard lock(mutex_);
        if (!openCurrent(error))
            return false;
        writeMarker("started");
        return true;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        if (m_fd < 0)
            return;
        const auto msecs =
            std::chrono::duration_cast<std::chrono::milliseconds>(msg.time.time_since_epoch())
                .count();
        const QString category =
            msg.logger_name.size() > 0
                ? QString::fromUtf8(msg.logger_name.data(), qsizetype(msg.logger_name.size()))
                : QStringLiteral("default");
        const QString text = QString::fromUtf8(msg.payload.data(), qsizetype(msg.payload.size()));
        append(formatLine(msecs, levelOf(msg.level), category, text));
    }
    void flush_() override {}

private:
    void append(const QByteArray& line)
    {
        if (m_size > 0 && m_size + line.size() > m_maxSize) {
            rotate();
            if (m_fd < 0)
                return;
        }
        if (writeAll(m_fd, line))
            m_size += line.size();
    }

    void writeMarker(const char* what)
    {
        const QByteArray line =
            formatLine(QDateTime::currentMSecsSinceEpoch(), Logging::Level::Info,
                       QStringLiteral("session"), markerText(what));
        if (writeAll(m_fd, line))
            m_size += line.size();
    }

    bool openCurrent(QString* error)
    {
        const QByteArray path = QFile::encodeName(filePath(m_directory, 0));
        m_fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            return SystemError::fail(error, SystemError::errnoText());
        }
        struct stat st {};
        m_size = ::fstat(m_fd, &st) == 0 ? qint64(st.st_size) : 0;
        return true;
    }

    void rotate()
    {
        ::close(m_fd);
        m_fd = -1;
        // rename() replaces the oldest file, so the set never grows.
        for (int i = m_files - 1; i >= 1; --i) {
            const QByteArray from = QFile::encodeName(filePath(m_directory, i - 1));
            const QByteArray to = QFile::encodeName(filePath(m_directory, i));
            ::rename(from.constData(), to.constData());
        }
        if (m_files == 1)
            ::unlink(QFile::encodeName(filePath(m_directory, 0)).constData());
        if (openCurrent(nullptr))
            writeMarker("continued");
    }

    const QString m_directory;
    const qint64 m_maxSize;
    const int m_files;
    int m_fd = -1;
    qint64 m_size = 0;
};

QStringList existingFiles(const QString& directory)
{
    QStringList found;
    for (int i = 0;; ++i) {
        const QString path = filePath(directory, i);
        if (!QFile::exists(path)) {
            // Only the current file may be missing, e.g. after a failed rotation.
            if (i > 0)
                break;
            continue;
        }
        found.append(path);
    }
    return found;
}

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size > kMaxReadPerFile)
        file.seek(size - kMaxReadPerFile);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

LogFile& LogFile::shared()
{
    static LogFile* instance = new LogFile; // never destroyed: logging may happen at exit
    return *instance;
}

QString LogFile::stateDirectory()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // XDG base directory rules: a relative path is ignored.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/corvane");
}

LogFile::LogFile(const QString& directory, qint64 fileSize, int files)
    : m_directory(directory), m_fileSize(std::max<qint64>(1024, fileSize)),
      m_files(std::max(1, files))
{
}

LogFile::~LogFile()
{
    stop();
}

bool LogFile::start()
{
    if (m_sink)
        return true;
    m_error.clear();
    if (!QDir().mkpath(m_directory)) {
        m_error = QStringLiteral("cannot create %1").arg(m_directory);
        return false;
    }
    // The log names speakers and addresses: keep it to the user.
    QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    auto sink = std::make_shared<RotatingLineSink>(m_directory, m_fileSize, m_files);
    QString reason;
    if (!sink->open(&reason)) {
        m_error = QStringLiteral("cannot open %1: %2").arg(path(), reason);
        return false;
    }
    m_sink = sink;
    Logging::addSink(m_sink);
    return true;
}

void LogFile::stop()
{
    if (!m_sink)
        return;
    Logging::removeSink(m_sink);
    m_sink.reset();
}

bool LogFile::isStarted() const
{
    return bool(m_sink);
}

QString LogFile::errorString() const
{
    return m_error;
}

QString LogFile::directory() const
{
    return m_directory;
}

QString LogFile::path() const
{
    return filePath(m_directory, 0);
}

QStringList LogFile::files() const
{
    return existingFiles(m_directory);
}

QString LogFile::sessionTail(qint64 pid, int lines) const
{
    return sessionTail(m_directory, pid, lines);
}

QString LogFile::sessionTail(const QString& directory, qint64 pid, int lines)
{
    if (lines <= 0)
        return {};
    // Walk back from the newest line. Markers split the lines into runs that
    // belong to the process each marker names; a session's runs are adjacent,
    // so collect runs of `pid` until its "started" marker or enough lines.
    QStringList found; // newest first
    QStringList run;   // the newest lines since the last marker seen
    for (const QString& path : existingFiles(directory)) {
        const QStringList fileLines = readLines(path);
        for (auto it = fileLines.crbegin(); it != fileLines.crend(); ++it) {
            const QRegularExpressionMatch match = markerPattern().match(*it);
            if (!match.hasMatch()) {
                if (run.size() < lines)
                    run.append(*it);
                continue;
            }
            if (match.captured(2).toLongLong() == pid) {
                for (const QString& line : std::as_const(run)) {
                    if (found.size() >= lines)
                        break;
                    found.append(line);
                }
                if (found.size() >= lines || match.captured(1) == QLatin1String("started")) {
                    std::reverse(found.begin(), found.end());
                    return found.join(QLatin1Char('\n'));
                }
            }
            run.clear();
        }
    }
    std::reverse(found.begin(), found.end());
    return found.join(QLatin1Char('\n'));
}
