#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace spdlog::sinks {
class sink;
}

// Keeps the log on disk: every line that passes the facade is appended to
// corvane.log in the state folder, rotated at 1 MiB through a few older files,
// so the log outlives a crash and can be posted with a bug report. Each
// session starts with a marker line naming its process, which lets the next
// launch pick out a crashed session's last lines.
class LogFile {
public:
    static constexpr qint64 maxFileSize = 1024 * 1024;
    static constexpr int maxFiles = 4; // corvane.log and three older ones
    static constexpr int crashTailLines = 100;

    static LogFile& shared();

    // $XDG_STATE_HOME/corvane, or ~/.local/state/corvane.
    static QString stateDirectory();

    explicit LogFile(const QString& directory = stateDirectory(), qint64 fileSize = maxFileSize,
                     int files = maxFiles);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens the file (creating a private folder), writes the session marker
    // and adds the file to the facade's sinks. False, with errorString(),
    // when the file cannot be opened; logging goes on without it.
    bool start();
    // Removes the file from the facade's sinks and closes it.
    void stop();
    bool isStarted() const;
    QString errorString() const;

    QString directory() const;
    // The current file: <directory>/corvane.log.
    QString path() const;
    // Existing log files, newest first.
    QStringList files() const;

    // The last `lines` lines written by the session of process `pid`, oldest
    // first, joined by "\n"; empty when none are found.
    QString sessionTail(qint64 pid, int lines = crashTailLines) const;
    static QString sessionTail(const QString& directory, qint64 pid, int lines = crashTailLines);

private:
    const QString m_directory;
    const qint64 m_fileSize;
    const int m_files;
    std::shared_ptr<spdlog::sinks::sink> m_sink;
    QString m_error;
};
