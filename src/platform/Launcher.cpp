#include "platform/Launcher.h"

#include "log/Logging.h"
#include "platform/SessionBus.h"

#include "Version.h"

#include <QStringList>

#include <algorithm>

namespace Launcher {

QString mainProgramPath(const QString& helperPath)
{
    QStringList components = helperPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    components.resize(std::max<qsizetype>(0, components.size() - 3));
    components << QStringLiteral("bin") << QStringLiteral("corvane");
    const QString joined = components.join(QLatin1Char('/'));
    return helperPath.startsWith(QLatin1Char('/')) ? QLatin1Char('/') + joined : joined;
}

QString helperProgramPath(const QString& mainProgramPath)
{
    QStringList components = mainProgramPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    components.resize(std::max<qsizetype>(0, components.size() - 2));
    components << QStringLiteral("libexec") << QStringLiteral("corvane")
               << QStringLiteral("corvane-helper");
    const QString joined = components.join(QLatin1Char('/'));
    return mainProgramPath.startsWith(QLatin1Char('/')) ? QLatin1Char('/') + joined : joined;
}

bool stopLauncherIfRunning(const SessionBus& bus)
{
    if (!bus.nameHasOwner(QLatin1String(corvane::kHelperId)))
        return false;
    Logging::info(QStringLiteral("Stopping launcher app"));
    return bus.emitKillLauncher(QLatin1String(corvane::kAppId));
}

} // namespace Launcher
