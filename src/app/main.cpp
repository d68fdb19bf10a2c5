#include "Version.h"
#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "app/UnixSignals.h"
#include "log/Log.h"
#include "log/LogFile.h"
#include "log/Logging.h"
#include "platform/AirPlayReceivers.h"
#include "platform/SessionBus.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char* argv[])
{
    // No display: run the whole program on the offscreen platform, without a tray icon.
    const bool headless =
        qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (headless && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("corvane"));
    QApplication::setApplicationVersion(QLatin1String(corvane::kVersion));
    QApplication::setDesktopFileName(QLatin1String(corvane::kAppId));
    QApplication::setQuitOnLastWindowClosed(false);

    Logging::setThreshold(Logging::Level::Verbose);
    Log::shared().attach();
    Logging::installQtMessageHandler();

    SessionBus bus;
    SingleInstance instance(bus);
    if (!instance.claim())
        return 0;
    // Only the one instance writes the log file, so a session's lines stay its own.
    LogFile::shared().start();

    UnixSignals unixSignals;
    QObject::connect(&unixSignals, &UnixSignals::terminationRequested, &app, [](int signalNumber) {
        Logging::info(QStringLiteral("Quitting on signal ") + QString::number(signalNumber));
        QCoreApplication::quit();
    });

    AirPlayReceivers airPlay; // browses once the delegate launches
    AppDelegate::Services services;
    services.bus = &bus;
    services.airPlay = &airPlay;
    AppDelegate delegate(headless ? AppDelegate::StatusItemMode::Headless
                                  : AppDelegate::StatusItemMode::Tray,
                         services);
    QObject::connect(&instance, &SingleInstance::showPreferencesRequested, &delegate,
                     &AppDelegate::showWindow);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    // No quit on commitDataRequest: that asks for a save, and the logout may
    // yet be cancelled. A session that does end sends SIGTERM, handled above.

    delegate.applicationWillFinishLaunching();
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    app.exec();
    return 0;
}
