#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class CrashReporter;

// What the application tells the crash reporter; AppDelegate implements it.
class CrashReporterDelegate {
public:
    virtual ~CrashReporterDelegate() = default;
    // Called once per offered crash report, before the user sees it.
    virtual void crashManagerWillShowSubmitCrashReportAlert(CrashReporter& crashManager) = 0;
    // The current session's log, attached to each report.
    virtual QString applicationLogForCrashManager(CrashReporter& crashManager) = 0;
};

// One crash of an earlier session, as offered at the next launch.
struct CrashReport {
    QString crashText;      // the crash file: signal, time, version, backtrace
    qint64 pid = 0;         // the crashed process
    QString version;        // its version
    QDateTime crashTime;    // UTC; invalid when the file did not say
    QString sessionLog;     // the crashed session's last lines from the log file
    QString applicationLog; // the delegate's text: this session's log

    // The whole report as saved.
    QString text() const;
    // "corvane-crash-yyyyMMdd-hhmmss.txt", from the crash time.
    QString suggestedFileName() const;
    // Writes text() atomically, creating the parent folder; mode 0600.
    bool save(const QString& path, QString* error = nullptr) const;
};

// Opens the feedback address in the desktop's browser.
class FeedbackManager {
public:
    using UrlOpener = std::function<bool(const QUrl&)>;

    explicit FeedbackManager(const QUrl& url);
    QUrl url() const { return m_url; }
    // Opens url(); false when no browser could be started.
    bool showFeedbackWindow();
    // The GUI passes QDesktopServices::openUrl; without one, xdg-open is used.
    void setUrlOpener(UrlOpener opener) { m_opener = std::move(opener); }

private:
    QUrl m_url;
    UrlOpener m_opener;
};

// A small crash reporter of our own. Once started it catches SIGSEGV, SIGBUS,
// SIGILL, SIGFPE and SIGABRT, writes a crash file with async-signal-safe calls
// only, then lets the signal take its default course (core dumps and the
// system's crash handling still work). At the next launch each pending crash
// file is offered once: the delegate is told, then the presenter asks the
// user; without a presenter (no display) the report goes to reports/ in the
// state folder and a warning is logged.
class CrashReporter : public QObject {
    Q_OBJECT
public:
    // The levels of its own messages; only Error and Warning are emitted by
    // this reporter, and only up to the configured level.
    enum class LogLevel : int { None = 0, Error = 1, Warning = 2, Debug = 3, Verbose = 4 };
    // Builds a message on demand; may be empty, may return nothing.
    using MessageProvider = std::function<std::optional<QString>()>;
    // file and function are NUL-terminated UTF-8 and may be null.
    using LogHandler = std::function<void(const MessageProvider& message, LogLevel level,
                                          const char* file, const char* function, quint32 line)>;
    // Shows one report; calls done() once the user has answered.
    using Presenter = std::function<void(const CrashReport& report, std::function<void()> done)>;

    static CrashReporter& shared();

    // stateDirectory holds crashes/ and reports/ and the log files;
    // an empty feedbackUrl means no feedback manager.
    explicit CrashReporter(const QString& stateDirectory, const QString& feedbackUrl,
                           QObject* parent = nullptr);
    ~CrashReporter() override;

    void configureWithIdentifier(const QString& identifier, CrashReporterDelegate* delegate);
    void setLogLevel(LogLevel level) { m_logLevel = level; }
    LogLevel logLevel() const { return m_logLevel; }
    void setLogHandler(LogHandler handler) { m_logHandler = std::move(handler); }
    void setPresenter(Presenter presenter) { m_presenter = std::move(presenter); }
    // Installs the signal handlers and schedules the offers of pending
    // crash files on the event loop. Once per process.
    void startManager();

    // Present only when a feedback address was configured.
    FeedbackManager* feedbackManager() const { return m_feedbackManager.get(); }

    QString identifier() const { return m_identifier; }
    QString crashDirectory() const;
    QString reportsDirectory() const;
    // Crash files not offered yet, oldest first.
    QStringList pendingCrashFiles() const;
    // Reads a crash file into a report (without the logs).
    static std::optional<CrashReport> readCrashFile(const QString& path);

Q_SIGNALS:
    // Every crash file found at start has been offered and answered.
    void pendingReportsHandled();

private:
    void offerNext();
    void saveHeadless(const CrashReport& report);
    void emitLog(LogLevel level, const char* function, quint32 line, const QString& message);

    const QString m_stateDirectory;
    QString m_identifier;
    CrashReporterDelegate* m_delegate = nullptr;
    LogLevel m_logLevel = LogLevel::Warning;
    LogHandler m_logHandler;
    Presenter m_presenter;
    std::unique_ptr<FeedbackManager> m_feedbackManager;
    QStringList m_pending;
    bool m_started = false;
};
