#include "bridge/LeftoverBridges.h"

#include <QByteArrayList>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace LeftoverBridges {
namespace {

// A command line longer than this is not one we started.
constexpr qint64 kMaxCommandLine = 64 * 1024;
constexpr std::chrono::milliseconds kKillWait{500};

QString procPath(pid_t pid, const char* entry)
{
    return QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry));
}

bool ownedByUs(pid_t pid)
{
    struct stat info {};
    const QByteArray dir = QFile::encodeName(QStringLiteral("/proc/%1").arg(pid));
    return ::stat(dir.constData(), &info) == 0 && info.st_uid == ::getuid();
}

QString executable(pid_t pid)
{
    QString target = QFile::symLinkTarget(procPath(pid, "exe"));
    const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return target;
}

QStringList commandLine(pid_t pid)
{
    QFile file(procPath(pid, "cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.read(kMaxCommandLine + 1);
    if (data.isEmpty() || data.size() > kMaxCommandLine)
        return {};
    QStringList arguments;
    QByteArrayList parts = data.split('\0');
    if (parts.last().isEmpty())
        parts.removeLast();
    for (const QByteArray& part : parts)
        arguments.append(QFile::decodeName(part));
    return arguments;
}

char processState(pid_t pid)
{
    QFile file(procPath(pid, "stat"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.read(4096);
    // "pid (comm) S ...": comm may hold spaces and parentheses, so look after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return 0;
    return stat.at(close + 2);
}

QList<pid_t> waitUntilGone(QList<pid_t> pids, std::chrono::milliseconds wait)
{
    const QDeadlineTimer deadline(wait);
    while (true) {
        pids.removeIf([](pid_t pid) { return isGone(pid); });
        if (pids.isEmpty() || deadline.hasExpired())
            return pids;
        QThread::msleep(10);
    }
}

} // namespace

bool isGone(pid_t pid)
{
    const char state = processState(pid);
    return state == 0 || state == 'Z' || state == 'X';
}

QList<pid_t> find(const QString& bridgePath, const QStringList& arguments,
                  const QList<pid_t>& exclude)
{
    const QString canonical = QFileInfo(bridgePath).canonicalFilePath();
    const QStringList names{bridgePath, canonical};
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const pid_t pid = pid_t(entry.toInt(&isNumber));
        if (!isNumber || pid == ::getpid() || exclude.contains(pid) || !ownedByUs(pid))
            continue;
        const QStringList argv = commandLine(pid);
        const qsizetype head = argv.size() - arguments.size() - 1; // index of the bridge path
        if (head < 0 || argv.mid(head + 1) != arguments || !names.contains(argv.at(head)))
            continue;
        // Run directly, the executable is the bridge itself; as a script, the
        // bridge path follows the interpreter.
        const bool direct = head == 0 && !canonical.isEmpty() && executable(pid) == canonical;
        const bool script = head == 1;
        if ((direct || script) && !isGone(pid))
            found.append(pid);
    }
    return found;
}

QList<pid_t> end(const QList<pid_t>& pids, std::chrono::milliseconds wait)
{
    for (const pid_t pid : pids)
        ::kill(pid, SIGTERM);
    const QList<pid_t> left = waitUntilGone(pids, wait);
    for (const pid_t pid : left)
        ::kill(pid, SIGKILL);
    // SIGKILL is not instant either; the new bridge should not meet the old one.
    waitUntilGone(left, kKillWait);
    return left;
}

} // namespace LeftoverBridges
