#include "launcher/AppDelegate.h"

#include "platform/InstanceLock.h"
#include "platform/Launcher.h"
#include "platform/SessionBus.h"

#include "Version.h"

#include <QDir>
#include <QProcess>

namespace launcher {

AppDelegate::AppDelegate(SessionBus& bus, QString helperPath, QString instanceLockPath,
                         QObject* parent)
    : QObject(parent), m_bus(bus), m_helperPath(std::move(helperPath)),
      m_instanceLockPath(std::move(instanceLockPath)), m_launch([](const QString& program) {
          return QProcess::startDetached(program, {}, QDir::homePath());
      })
{
}

void AppDelegate::setLaunchFunction(LaunchFunction launch)
{
    m_launch = std::move(launch);
}

void AppDelegate::applicationDidFinishLaunching()
{
    const QString appId = QLatin1String(corvane::kAppId);
    if (!m_bus.isConnected()) {
        // Not a desktop session: nobody could tell us to quit, so launch and go.
        if (!InstanceLock(m_instanceLockPath).isHeld())
            launchMainProgram();
        terminate();
        return;
    }
    // Our name lets Corvane find us; failing to get it changes nothing here.
    m_bus.registerName(QLatin1String(corvane::kHelperId));
    if (m_bus.nameHasOwner(appId)) {
        terminate();
        return;
    }
    // Listen before launching, or Corvane's signal could come first.
    connect(&m_bus, &SessionBus::killLauncher, this, &AppDelegate::terminate, Qt::UniqueConnection);
    m_bus.subscribeKillLauncher(appId, appId);
    launchMainProgram();
}

void AppDelegate::terminate()
{
    Q_EMIT terminateRequested();
}

void AppDelegate::launchMainProgram()
{
    // The outcome is not checked: a failed launch leaves us waiting for a
    // Corvane the user starts by hand.
    m_launch(Launcher::mainProgramPath(m_helperPath));
}

} // namespace launcher
