#include "app/AppDelegate.h"

#include "app/CrashReportDialog.h"
#include "app/StatusMenu.h"
#include "bridge/AirConnect.h"
#include "bridge/BridgeController.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Log.h"
#include "log/Logging.h"
#include "platform/DesktopNotifier.h"
#include "platform/LaunchOnLogin.h"
#include "platform/Launcher.h"
#include "platform/SessionBus.h"
#include "preferences/PreferencesWindow.h"
#include "settings/Settings.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QIcon>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <utility>

namespace {

// The bridge gets this long to end at quit before it is killed.
constexpr int kQuitWaitMs = 6000;
// Names this application in its crash reports.
constexpr char kCrashReporterIdentifier[] = "6f72672e636f7276616e652e436f7276";

} // namespace

AppDelegate::AppDelegate(StatusItemMode mode, const Services& services, QObject* parent)
    : QObject(parent), m_mode(mode), m_services(services), m_statusMenu(new StatusMenu)
{
    // The resources live in a static library: nothing registers them unless asked.
    Q_INIT_RESOURCE(app);
    connect(m_statusMenu->onOffItem(), &QAction::triggered, this, &AppDelegate::onOffClicked);
    connect(m_statusMenu->preferencesItem(), &QAction::triggered, this,
            &AppDelegate::preferencesClicked);
    connect(m_statusMenu->aboutItem(), &QAction::triggered, this, &AppDelegate::aboutClicked);
    connect(m_statusMenu->feedbackItem(), &QAction::triggered, this, &AppDelegate::feedbackClicked);
    connect(m_statusMenu->quitItem(), &QAction::triggered, this, &AppDelegate::quitClicked);
    connect(m_statusMenu, &QMenu::aboutToShow, this, &AppDelegate::menuWillOpen);
    // The speaker items explain themselves in tooltips.
    m_statusMenu->setToolTipsVisible(true);
}

AppDelegate::~AppDelegate()
{
    delete m_statusItem;
    delete m_preferencesWindow;
    delete m_statusMenu;
    delete m_ownLaunchOnLogin;
}

QAction* AppDelegate::firstMenuItem() const
{
    return m_statusMenu->statusItem();
}

QAction* AppDelegate::onOffMenuItem() const
{
    return m_statusMenu->onOffItem();
}

PreferencesWindow* AppDelegate::preferencesWindow() const
{
    return m_preferencesWindow;
}

void AppDelegate::setAboutPresenter(std::function<void(const QString&)> presenter)
{
    m_aboutPresenter = std::move(presenter);
}

void AppDelegate::setNotificationPresenter(
    std::function<void(const QString&, const QString&)> presenter)
{
    m_notificationPresenter = std::move(presenter);
}

void AppDelegate::applicationWillFinishLaunching()
{
    // Every level passes, so a saved log or a crash report carries everything.
    Logging::setThreshold(Logging::Level::Verbose);
    Log::shared().attach();
    Logging::info(QStringLiteral("applicationWillFinishLaunching"));

    if (!m_services.crashReporter)
        m_services.crashReporter = &CrashReporter::shared();
    CrashReporter& reporter = *m_services.crashReporter;
    reporter.configureWithIdentifier(QLatin1String(kCrashReporterIdentifier), this);
    reporter.setLogLevel(CrashReporter::LogLevel::Warning);
    reporter.setLogHandler(&AppDelegate::crashReporterLog);
    if (m_mode == StatusItemMode::Tray) {
        reporter.setPresenter([](const CrashReport& report, std::function<void()> done) {
            CrashReportDialog::present(report, std::move(done));
        });
    }
    reporter.startManager();

    // Loaded before the first speaker is merged.
    if (!m_services.settings)
        m_services.settings = &Settings::shared();
    if (!m_services.discovery)
        m_services.discovery = &DeviceDiscovery::shared();
    if (!m_services.airConnect)
        m_services.airConnect = &AirConnect::shared();
}

BridgeController* AppDelegate::controller()
{
    if (!m_controller) {
        BridgeController::Services services{m_services.settings,
                                            m_services.discovery,
                                            m_services.airConnect,
                                            m_services.airPlay,
                                            {}};
        m_controller = new BridgeController(services, this);
    }
    return m_controller;
}

void AppDelegate::applicationDidFinishLaunching()
{
    Logging::info(QStringLiteral("applicationDidFinishLaunching"));
    if (m_services.bus)
        Launcher::stopLauncherIfRunning(*m_services.bus);
    if (!m_services.launchOnLogin)
        m_services.launchOnLogin = m_ownLaunchOnLogin = new LaunchOnLogin;
    // An entry of an earlier build would read as on while the session skips it.
    m_services.launchOnLogin->repairEntry();
    createStatusItem();
    m_statusMenu->feedbackItem()->setVisible(m_services.crashReporter->feedbackManager() !=
                                             nullptr);

    // Presentation waits for the event loop, so a handler never pulls menu
    // items from under a menu that is running it.
    connect(controller(), &BridgeController::statusChanged, this,
            [this](const QString& text) { onMainQueue([this, text] { onStatusChanged(text); }); });
    connect(controller(), &BridgeController::onChanged, this,
            [this](bool on) { onMainQueue([this, on] { onOnChanged(on); }); });
    connect(controller(), &BridgeController::devicesChanged, this,
            [this] { onMainQueue([this] { rebuildDeviceMenuItems(); }); });

    rebuildDeviceMenuItems();
    controller()->launch();
}

void AppDelegate::applicationWillTerminate()
{
    if (m_terminated)
        return;
    m_terminated = true;
    Logging::info(QStringLiteral("applicationWillTerminate"));
    // Quitting must not leave the bridge behind: wait (bounded) for it to end.
    controller()->shutdown(kQuitWaitMs);
}

// Status item -----------------------------------------------------------------

void AppDelegate::createStatusItem()
{
    if (m_mode == StatusItemMode::Headless)
        return;
    makeTrayIcon();

    // Qt picks the tray protocol when an icon is made; a panel that starts
    // after us (at login) offers a StatusNotifierWatcher later, so make the
    // icon again then.
    auto* watcher = new QDBusServiceWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                            SessionBus::defaultConnection(),
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &AppDelegate::onTrayAppeared);

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // No tray (stock GNOME): the window carries the status line instead.
        Logging::info(QStringLiteral("No system tray: showing the preferences window"));
        m_windowCarriesStatus = true;
        showWindow();
    }
}

void AppDelegate::makeTrayIcon()
{
    delete m_statusItem;
    QIcon icon(QStringLiteral(":/statusIcon.svg"));
    icon.setIsMask(true); // lets the panel tint it like its other icons
    m_statusItem = new QSystemTrayIcon(icon, this);
    m_statusItem->setToolTip(QStringLiteral("Corvane"));
    m_statusItem->setContextMenu(m_statusMenu);
    // Some hosts deliver a left click as a trigger and open nothing themselves.
    connect(m_statusItem, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    m_statusMenu->popup(QCursor::pos());
            });
    m_statusItem->show();
}

void AppDelegate::onTrayAppeared()
{
    Logging::info(QStringLiteral("A system tray appeared"));
    makeTrayIcon();
    m_windowCarriesStatus = false;
    if (m_preferencesWindow)
        m_preferencesWindow->setCarriesStatus(false);
}

void AppDelegate::onWindowClosed()
{
    if (!m_windowCarriesStatus || std::exchange(m_closeNoticeShown, true))
        return;
    const QString summary = QStringLiteral("Corvane is still running");
    const QString body =
        QStringLiteral("It goes on bridging your speakers in the background. "
                       "Start Corvane again to open its window; Quit there ends it.");
    if (m_notificationPresenter) {
        m_notificationPresenter(summary, body);
        return;
    }
    if (!m_notifier)
        m_notifier = new DesktopNotifier(this);
    m_notifier->notify(summary, body);
}

void AppDelegate::onStatusChanged(const QString& text)
{
    firstMenuItem()->setText(text);
    if (m_preferencesWindow)
        m_preferencesWindow->setStatusText(text);
}

void AppDelegate::onOnChanged(bool on)
{
    onOffMenuItem()->setText(on ? QStringLiteral("Turn Corvane Off")
                                : QStringLiteral("Turn Corvane On"));
}

void AppDelegate::onMainQueue(std::function<void()> work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

// Speaker items ---------------------------------------------------------------

QAction* AppDelegate::makeDeviceMenuItem(const DeviceSettings& settings)
{
    auto* item = new QAction(settings.name, m_statusMenu);
    item->setEnabled(false);
    item->setCheckable(true);
    item->setChecked(settings.enabled);
    item->setData(settings.info.location);
    item->setToolTip(
        ViewController::airPlayNote(settings, m_services.settings->skipAirPlaySpeakers));
    return item;
}

void AppDelegate::rebuildDeviceMenuItems()
{
    for (QAction* item : std::as_const(m_deviceMenuItems)) {
        m_statusMenu->removeAction(item);
        delete item;
    }
    m_deviceMenuItems.clear();
    for (const DeviceSettings& settings : m_services.settings->devices()) {
        if (settings.active)
            m_deviceMenuItems.append(makeDeviceMenuItem(settings));
    }
    for (qsizetype i = 0; i < m_deviceMenuItems.size(); ++i)
        m_statusMenu->insertItem(StatusMenu::firstDevicePosition + int(i), m_deviceMenuItems[i]);
}

// Menu actions ----------------------------------------------------------------

void AppDelegate::onOffClicked()
{
    const bool turningOn = !controller()->isOn();
    Logging::info((turningOn ? QStringLiteral("on") : QStringLiteral("off")) +
                  QStringLiteral("Clicked"));
    if (turningOn)
        controller()->turnOn();
    else
        controller()->turnOff();
}

void AppDelegate::preferencesClicked()
{
    Logging::info(QStringLiteral("preferencesClicked"));
    showWindow();
}

void AppDelegate::aboutClicked()
{
    Logging::info(QStringLiteral("aboutClicked"));
    const QString text = QStringLiteral("Corvane ") + Settings::applicationVersion();
    if (m_aboutPresenter) {
        m_aboutPresenter(text);
        return;
    }
    QMessageBox box(QMessageBox::Information, QStringLiteral("Corvane"), text, QMessageBox::Ok);
    box.setInformativeText(QStringLiteral("Plays to your Sonos speakers from anything that "
                                          "speaks AirPlay, through AirConnect."));
    box.exec();
}

void AppDelegate::feedbackClicked()
{
    Logging::info(QStringLiteral("feedbackClicked"));
    if (FeedbackManager* feedback = m_services.crashReporter->feedbackManager())
        feedback->showFeedbackWindow();
}

void AppDelegate::quitClicked()
{
    Logging::info(QStringLiteral("quitClicked"));
    QCoreApplication::quit();
}

void AppDelegate::menuWillOpen()
{
    if (m_preferencesWindow && m_preferencesWindow->isVisible())
        showWindow();
}

void AppDelegate::showWindow()
{
    if (m_mode == StatusItemMode::Headless)
        return;
    if (!m_preferencesWindow) {
        ViewController::Services services;
        services.bridge = controller();
        services.launchOnLogin = m_services.launchOnLogin;
        m_preferencesWindow = new PreferencesWindow(services);
        m_preferencesWindow->setStatusText(firstMenuItem()->text());
        m_preferencesWindow->setCarriesStatus(m_windowCarriesStatus);
        m_preferencesWindow->setFeedbackAvailable(m_services.crashReporter->feedbackManager() !=
                                                  nullptr);
        connect(m_preferencesWindow, &PreferencesWindow::aboutRequested, this,
                &AppDelegate::aboutClicked);
        connect(m_preferencesWindow, &PreferencesWindow::feedbackRequested, this,
                &AppDelegate::feedbackClicked);
        connect(m_preferencesWindow, &PreferencesWindow::quitRequested, this,
                &AppDelegate::quitClicked);
        connect(m_preferencesWindow, &PreferencesWindow::closed, this,
                &AppDelegate::onWindowClosed);
        // The speaker items' tooltips say whether such speakers are bridged.
        connect(&m_preferencesWindow->controller(), &ViewController::skipAirPlaySpeakersToggled,
                this, &AppDelegate::rebuildDeviceMenuItems);
    }
    m_preferencesWindow->showAndActivate();
}

// Crash reporter --------------------------------------------------------------

void AppDelegate::crashManagerWillShowSubmitCrashReportAlert(CrashReporter&)
{
    controller()->recordCrash();
}

QString AppDelegate::applicationLogForCrashManager(CrashReporter&)
{
    return Log::shared().dump(100);
}

void AppDelegate::crashReporterLog(const CrashReporter::MessageProvider& message,
                                   CrashReporter::LogLevel level, const char* file,
                                   const char* function, quint32 line)
{
    if (level != CrashReporter::LogLevel::Error && level != CrashReporter::LogLevel::Warning)
        return;
    const QStringList pieces =
        QString::fromUtf8(file ? file : "").split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const QString fileName = pieces.isEmpty() ? QString() : pieces.last();
    const QString text = fileName + QLatin1Char(':') + QString::number(line) + QLatin1Char(' ') +
                         QString::fromUtf8(function ? function : "") + QLatin1Char(' ') +
                         (message ? message().value_or(QString()) : QString());
    const QString category = QStringLiteral("HockeySDK");
    if (level == CrashReporter::LogLevel::Error)
        Logging::error(text, category);
    else
        Logging::warning(text, category);
}
