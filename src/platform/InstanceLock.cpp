#include "platform/InstanceLock.h"

#include "Version.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <csignal>

QString InstanceLock::defaultPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
              QStringLiteral("/corvane");
    return dir + QLatin1Char('/') + QLatin1String(corvane::kAppId) + QStringLiteral(".lock");
}

InstanceLock::InstanceLock(QString path) : m_path(std::move(path)) {}

InstanceLock::~InstanceLock() = default;

bool InstanceLock::tryLock()
{
    if (isLocked())
        return true;
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    auto lock = std::make_unique<QLockFile>(m_path);
    if (!lock->tryLock(0))
        return false;
    m_lock = std::move(lock);
    return true;
}

void InstanceLock::unlock()
{
    m_lock.reset(); // QLockFile removes the file when destroyed while locked
}

bool InstanceLock::isLocked() const
{
    return m_lock && m_lock->isLocked();
}

bool InstanceLock::isHeld() const
{
    qint64 pid = 0;
    QString hostname;
    QString appname;
    if (!QLockFile(m_path).getLockInfo(&pid, &hostname, &appname) || pid <= 0)
        return false;
    // A holder on another machine (shared home folder) cannot be checked.
    if (!hostname.isEmpty() && hostname != QSysInfo::machineHostName())
        return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}
