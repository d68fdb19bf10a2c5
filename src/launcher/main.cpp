#include "launcher/AppDelegate.h"
#include "platform/InstanceLock.h"
#include "platform/SessionBus.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-helper"));

    SessionBus bus;
    launcher::AppDelegate delegate(bus, QCoreApplication::applicationFilePath(),
                                   InstanceLock::defaultPath());
    // Queued: quit() only ends a loop that is already running.
    QObject::connect(&delegate, &launcher::AppDelegate::terminateRequested, &app,
                     &QCoreApplication::quit, Qt::QueuedConnection);
    QTimer::singleShot(0, &delegate, &launcher::AppDelegate::applicationDidFinishLaunching);
    app.exec();
    return 0;
}
