#include "platform/CrashReporter.h"

#include "Version.h"
#include "log/LogFile.h"
#include "log/Logging.h"
#include "platform/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#define CRASH_LOG(level, text) emitLog(level, __func__, quint32(__LINE__), text)

namespace {

// ---- Everything the signal handler touches: static buffers filled at start.

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxFrames = 64;
using u64 = unsigned long long;

char g_crashPath[PATH_MAX];
char g_tempPath[PATH_MAX];
char g_header[4096];
size_t g_headerLength = 0;
// A stack overflow leaves no stack to run the handler on.
alignas(16) char g_alternateStack[128 * 1024];
std::atomic<pid_t> g_handlingThread{0};
std::atomic<bool> g_installed{false};
static_assert(std::atomic<pid_t>::is_always_lock_free);

struct Buffer {
    char data[512];
    size_t length = 0;

    void add(const char* text)
    {
        while (*text && length < sizeof data)
            data[length++] = *text++;
    }
    void addNumber(unsigned long long value, unsigned base = 10, int minDigits = 1)
    {
        char digits[32];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 && n < int(sizeof digits));
        while (n < minDigits && n < int(sizeof digits))
            digits[n++] = '0';
        while (n > 0 && length < sizeof data)
            data[length++] = digits[--n];
    }
};

void writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        length -= size_t(n);
    }
}

// "2024-05-01 10:20:30 +0000" without gmtime(), which is not async-signal-safe.
// Days to civil date after Howard Hinnant's algorithm.
void addUtcTime(Buffer& out, long long seconds)
{
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long mp = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    out.addNumber(u64(year), 10, 4);
    out.add("-");
    out.addNumber(u64(month), 10, 2);
    out.add("-");
    out.addNumber(u64(day), 10, 2);
    out.add(" ");
    out.addNumber(u64(rest / 3600), 10, 2);
    out.add(":");
    out.addNumber(u64(rest % 3600 / 60), 10, 2);
    out.add(":");
    out.addNumber(u64(rest % 60), 10, 2);
    out.add(" +0000");
}

const char* signalName(int sig)
{
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    }
    return "signal";
}

void writeCrashFile(int sig, const siginfo_t* info)
{
    const int fd = ::open(g_tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    writeAll(fd, g_header, g_headerLength);

    Buffer lines;
    lines.add("Signal: ");
    lines.addNumber(u64(sig));
    lines.add(" (");
    lines.add(signalName(sig));
    lines.add(")\n");
    if (info && sig != SIGABRT) {
        lines.add("Address: 0x");
        lines.addNumber(u64(reinterpret_cast<uintptr_t>(info->si_addr)), 16);
        lines.add("\n");
    }
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    lines.add("Time: ");
    addUtcTime(lines, static_cast<long long>(now.tv_sec));
    lines.add("\nBacktrace:\n");
    writeAll(fd, lines.data, lines.length);

    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, count, fd);
    ::fsync(fd);
    ::close(fd);
    // Only a complete file is ever found at the next launch.
    ::rename(g_tempPath, g_crashPath);
}

void onCrashSignal(int sig, siginfo_t* info, void*)
{
    const pid_t self = pid_t(::syscall(SYS_gettid));
    pid_t expected = 0;
    if (!g_handlingThread.compare_exchange_strong(expected, self)) {
        if (expected != self) {
            // Another thread is writing the file; its re-raise ends the process.
            for (;;)
                ::pause();
        }
        // A fault inside the handler itself: give up on the file.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        return;
    }
    writeCrashFile(sig, info);
    // SA_RESETHAND restored the default already; be explicit for SIGABRT's
    // second raise inside abort().
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

bool copyTo(char* target, size_t size, const QByteArray& text)
{
    if (size_t(text.size()) >= size)
        return false;
    std::memcpy(target, text.constData(), size_t(text.size()));
    target[text.size()] = '\0';
    return true;
}

QString utcText(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
}

bool makePrivateDirectory(const QString& path)
{
    if (!QDir().mkpath(path))
        return false;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

constexpr qint64 kMaxCrashFileSize = 1024 * 1024;
const QString kCrashFilePattern = QStringLiteral("crash-*.txt");

} // namespace

// ---- CrashReport

QString CrashReport::text() const
{
    QString out = crashText;
    if (!out.endsWith(QLatin1Char('\n')))
        out += QLatin1Char('\n');
    out += QStringLiteral("\nLog of the crashed session (last %1 lines):\n")
               .arg(LogFile::crashTailLines);
    out += sessionLog.isEmpty() ? QStringLiteral("(not found)") : sessionLog;
    out += QStringLiteral("\n\nLog of the session that reports the crash:\n");
    out += applicationLog.isEmpty() ? QStringLiteral("(empty)") : applicationLog;
    out += QLatin1Char('\n');
    return out;
}

QString CrashReport::suggestedFileName() const
{
    const QDateTime time = crashTime.isValid() ? crashTime : QDateTime::currentDateTimeUtc();
    return QStringLiteral("corvane-crash-") +
           time.toLocalTime().toString(QStringLiteral("yyyyMMdd-hhmmss")) + QStringLiteral(".txt");
}

bool CrashReport::save(const QString& path, QString* error) const
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    // Backtraces and logs are nobody else's business.
    return saveAtomically(path, text().toUtf8(), true, error);
}

// ---- FeedbackManager

FeedbackManager::FeedbackManager(const QUrl& url) : m_url(url) {}

bool FeedbackManager::showFeedbackWindow()
{
    if (m_opener)
        return m_opener(m_url);
    // The URL is one argument, never a shell command; xdg-open exits once
    // the browser has it.
    return QProcess::startDetached(QStringLiteral("xdg-open"),
                                   {m_url.toString(QUrl::FullyEncoded)});
}

// ---- CrashReporter

CrashReporter& CrashReporter::shared()
{
    static CrashReporter* instance = new CrashReporter(
        LogFile::stateDirectory(), QString::fromUtf8(corvane::kFeedbackUrl)); // never destroyed
    return *instance;
}

CrashReporter::CrashReporter(const QString& stateDirectory, const QString& feedbackUrl,
                             QObject* parent)
    : QObject(parent), m_stateDirectory(stateDirectory)
{
    if (feedbackUrl.isEmpty())
        return;
    const QUrl url(feedbackUrl, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (url.isValid() && (scheme == QLatin1String("https") || scheme == QLatin1String("http") ||
                          scheme == QLatin1String("mailto"))) {
        m_feedbackManager = std::make_unique<FeedbackManager>(url);
    } else {
        Logging::warning(QStringLiteral("Ignoring the feedback address %1").arg(feedbackUrl),
                         QStringLiteral("HockeySDK"));
    }
}

CrashReporter::~CrashReporter() = default;

void CrashReporter::configureWithIdentifier(const QString& identifier,
                                            CrashReporterDelegate* delegate)
{
    m_identifier = identifier;
    m_delegate = delegate;
}

QString CrashReporter::crashDirectory() const
{
    return m_stateDirectory + QStringLiteral("/crashes");
}

QString CrashReporter::reportsDirectory() const
{
    return m_stateDirectory + QStringLiteral("/reports");
}

QStringList CrashReporter::pendingCrashFiles() const
{
    // Names carry the start time in seconds, so name order is age order.
    const QDir dir(crashDirectory());
    QStringList files;
    for (const QString& name : dir.entryList({kCrashFilePattern}, QDir::Files, QDir::Name))
        files.append(dir.filePath(name));
    return files;
}

void CrashReporter::startManager()
{
    if (m_started) {
        CRASH_LOG(LogLevel::Warning, QStringLiteral("The crash reporter is already started"));
        return;
    }
    m_started = true;

    const QString folder = crashDirectory();
    if (!makePrivateDirectory(m_stateDirectory) || !makePrivateDirectory(folder)) {
        CRASH_LOG(LogLevel::Error,
                  QStringLiteral("Cannot create %1; crashes will not be recorded").arg(folder));
        return;
    }
    m_pending = pendingCrashFiles();
    if (!m_pending.isEmpty())
        QTimer::singleShot(0, this, &CrashReporter::offerNext);

    if (g_installed.exchange(true))
        return; // one set of handlers per process

    const qint64 pid = qint64(::getpid());
    const QDateTime started = QDateTime::currentDateTimeUtc();
    const QString stem = QStringLiteral("crash-%1-%2").arg(started.toSecsSinceEpoch()).arg(pid);
    const QString header =
        QStringLiteral("Corvane crash report\n"
                       "Application: %1\n"
                       "Identifier: %2\n"
                       "Version: %3\n"
                       "Process: %4\n"
                       "Started: %5\n")
            .arg(QString::fromUtf8(corvane::kAppId), m_identifier,
                 QString::fromUtf8(corvane::kVersion), QString::number(pid), utcText(started));
    if (!copyTo(g_crashPath, sizeof g_crashPath,
                QFile::encodeName(folder + QLatin1Char('/') + stem + QStringLiteral(".txt"))) ||
        !copyTo(g_tempPath, sizeof g_tempPath,
                QFile::encodeName(folder + QStringLiteral("/.") + stem + QStringLiteral(".tmp"))) ||
        !copyTo(g_header, sizeof g_header, header.toUtf8())) {
        g_installed = false;
        CRASH_LOG(
            LogLevel::Error,
            QStringLiteral("The crash folder path is too long; crashes will not be recorded"));
        return;
    }
    g_headerLength = std::strlen(g_header);

    // The first backtrace() loads libgcc_s, which allocates: do it now.
    void* frames[2];
    ::backtrace(frames, 2);

    stack_t stack{};
    stack.ss_sp = g_alternateStack;
    stack.ss_size = sizeof g_alternateStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = onCrashSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (const int sig : kCrashSignals)
        ::sigaction(sig, &action, nullptr);
}

std::optional<CrashReport> CrashReporter::readCrashFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    CrashReport report;
    report.crashText = QString::fromUtf8(file.read(kMaxCrashFileSize));
    const QStringList lines = report.crashText.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line == QLatin1String("Backtrace:"))
            break;
        const QString value = line.section(QStringLiteral(": "), 1);
        if (line.startsWith(QLatin1String("Version: "))) {
            report.version = value;
        } else if (line.startsWith(QLatin1String("Process: "))) {
            report.pid = value.toLongLong();
        } else if (line.startsWith(QLatin1String("Time: "))) {
            QDateTime time = QDateTime::fromString(value.section(QLatin1Char(' '), 0, 1),
                                                   QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            time.setTimeSpec(Qt::UTC);
            report.crashTime = time;
        }
    }
    return report;
}

void CrashReporter::offerNext()
{
    while (!m_pending.isEmpty()) {
        const QString path = m_pending.takeFirst();
        std::optional<CrashReport> report = readCrashFile(path);
        // Offered once: the file goes before anyone sees it, so a crash while
        // it is shown does not bring it back.
        if (QFile::exists(path) && !QFile::remove(path))
            CRASH_LOG(LogLevel::Error, QStringLiteral("Cannot remove the crash file %1").arg(path));
        if (!report) {
            CRASH_LOG(LogLevel::Warning, QStringLiteral("Cannot read the crash file %1").arg(path));
            continue;
        }
        if (m_delegate)
            m_delegate->crashManagerWillShowSubmitCrashReportAlert(*this);
        report->sessionLog = LogFile::sessionTail(m_stateDirectory, report->pid);
        if (m_delegate)
            report->applicationLog = m_delegate->applicationLogForCrashManager(*this);

        if (m_presenter) {
            auto answered = std::make_shared<bool>(false);
            QPointer<CrashReporter> self(this);
            m_presenter(*report, [self, answered] {
                if (!self || *answered)
                    return;
                *answered = true;
                QTimer::singleShot(0, self, &CrashReporter::offerNext);
            });
            return;
        }
        saveHeadless(*report);
    }
    emit pendingReportsHandled();
}

void CrashReporter::saveHeadless(const CrashReport& report)
{
    const QDateTime time =
        report.crashTime.isValid() ? report.crashTime : QDateTime::currentDateTimeUtc();
    const QString path = reportsDirectory() + QStringLiteral("/crash-") +
                         time.toUTC().toString(QStringLiteral("yyyyMMdd-hhmmss")) +
                         QLatin1Char('-') + QString::number(report.pid) + QStringLiteral(".txt");
    QString error;
    if (!makePrivateDirectory(reportsDirectory()) || !report.save(path, &error)) {
        CRASH_LOG(LogLevel::Error,
                  QStringLiteral("Cannot save the crash report %1: %2").arg(path, error));
        return;
    }
    CRASH_LOG(
        LogLevel::Warning,
        QStringLiteral("Corvane quit unexpectedly last time; the crash report is in %1").arg(path));
}

void CrashReporter::emitLog(LogLevel level, const char* function, quint32 line,
                            const QString& message)
{
    if (level == LogLevel::None || int(level) > int(m_logLevel))
        return;
    if (!m_logHandler) {
        Logging::log(level == LogLevel::Error ? Logging::Level::Error : Logging::Level::Warning,
                     message, QStringLiteral("HockeySDK"));
        return;
    }
    const MessageProvider provider = [message]() -> std::optional<QString> {
        return message;
    };
    m_logHandler(provider, level, __FILE__, function, line);
}
