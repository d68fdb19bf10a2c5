// Stands in for corvane in the helper tests, installed as <tree>/bin/corvane.
// Records its launch in $CORVANE_TEST_LAUNCH_LOG, then does what Corvane does
// at start-up for the helper: claim its name and stop a running helper. It
// stays until the helper is gone (the helper checks who owns the name when
// the signal arrives) and never longer than a few seconds.
#include "platform/Launcher.h"
#include "platform/SessionBus.h"

#include "Version.h"

#include <QCoreApplication>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QTimer>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QFile log(qEnvironmentVariable("CORVANE_TEST_LAUNCH_LOG"));
    if (log.open(QIODevice::Append))
        log.write(QCoreApplication::applicationFilePath().toUtf8() + '\n');
    log.close();

    SessionBus bus;
    if (bus.registerName(QLatin1String(corvane::kAppId)) != SessionBus::NameRequest::Owned)
        return 1;
    QDBusServiceWatcher helperGone(QLatin1String(corvane::kHelperId), bus.connection(),
                                   QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&helperGone, &QDBusServiceWatcher::serviceUnregistered, &app,
                     &QCoreApplication::quit);
    if (!Launcher::stopLauncherIfRunning(bus))
        return 0;
    QTimer::singleShot(5000, &app, &QCoreApplication::quit);
    return app.exec();
}
