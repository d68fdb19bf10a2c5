#pragma once

#include "platform/CrashReporter.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

class AirConnect;
class AirPlayReceivers;
class BridgeController;
class DesktopNotifier;
class DeviceDiscovery;
class LaunchOnLogin;
class PreferencesWindow;
class QAction;
class SessionBus;
class QSystemTrayIcon;
class Settings;
class StatusMenu;
struct DeviceSettings;

// Runs start-up and shutdown, presents the bridge controller's state in the
// status menu and the preferences window, and serves the crash reporter.
class AppDelegate : public QObject, public CrashReporterDelegate {
    Q_OBJECT
public:
    // What the delegate drives; tests hand in private instances.
    struct Services {
        Settings* settings = nullptr;
        DeviceDiscovery* discovery = nullptr;
        AirConnect* airConnect = nullptr;
        CrashReporter* crashReporter = nullptr;
        SessionBus* bus = nullptr;              // for the login helper; none: no helper to stop
        LaunchOnLogin* launchOnLogin = nullptr; // none: the delegate's own
        // The AirPlay receivers of the network; none: no speaker is flagged.
        AirPlayReceivers* airPlay = nullptr;
    };
    // How the status line reaches the user.
    enum class StatusItemMode {
        Tray,    // a tray icon; opens the preferences window at launch when no tray is there
        Headless // no display: no icon, no windows; status changes go to the log only
    };

    // Services left null are the shared instances, taken once the log is
    // attached so that loading them is logged.
    AppDelegate(StatusItemMode mode, const Services& services, QObject* parent = nullptr);
    ~AppDelegate() override;

    // Start-up, in this order, then the event loop; applicationWillTerminate
    // runs once on the way out, however the program is asked to quit.
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    // Status menu.
    void rebuildDeviceMenuItems();
    QAction* makeDeviceMenuItem(const DeviceSettings& settings);
    void onOffClicked();
    void preferencesClicked();
    void aboutClicked();
    void feedbackClicked();
    void quitClicked();
    void menuWillOpen();
    // Creates the preferences window on first use, shows and raises it.
    void showWindow();
    // A tray host registered after launch: the icon is made anew and the
    // window hands the status line back to the menu.
    void onTrayAppeared();
    // The user closed the window that stands in for the tray.
    void onWindowClosed();

    // Made on first use, on the services given or the shared ones.
    BridgeController* controller();
    StatusMenu* statusMenu() const { return m_statusMenu; }
    QAction* firstMenuItem() const;
    QAction* onOffMenuItem() const;
    const QList<QAction*>& deviceMenuItems() const { return m_deviceMenuItems; }
    QSystemTrayIcon* statusItem() const { return m_statusItem; }
    PreferencesWindow* preferencesWindow() const;

    // Test seam: replaces the modal about box; handed the message text.
    void setAboutPresenter(std::function<void(const QString&)> presenter);
    // Test seam: replaces the desktop notification; handed summary and body.
    void setNotificationPresenter(std::function<void(const QString&, const QString&)> presenter);

    // CrashReporterDelegate
    void crashManagerWillShowSubmitCrashReportAlert(CrashReporter& crashManager) override;
    QString applicationLogForCrashManager(CrashReporter& crashManager) override;

    // The reporter's log handler: its warnings and errors into our log.
    static void crashReporterLog(const CrashReporter::MessageProvider& message,
                                 CrashReporter::LogLevel level, const char* file,
                                 const char* function, quint32 line);

private:
    // Work that a handler leaves to the event loop, in posting order.
    void onMainQueue(std::function<void()> work);
    void onStatusChanged(const QString& text);
    void onOnChanged(bool on);
    void createStatusItem();
    void makeTrayIcon();

    const StatusItemMode m_mode;
    Services m_services;
    BridgeController* m_controller = nullptr;
    StatusMenu* m_statusMenu = nullptr;
    QSystemTrayIcon* m_statusItem = nullptr;
    QList<QAction*> m_deviceMenuItems;
    QPointer<PreferencesWindow> m_preferencesWindow;
    std::function<void(const QString&)> m_aboutPresenter;
    std::function<void(const QString&, const QString&)> m_notificationPresenter;
    DesktopNotifier* m_notifier = nullptr;
    LaunchOnLogin* m_ownLaunchOnLogin = nullptr;
    // Per run: a new run shows the window again anyway, so a reminder each
    // run costs little and needs nothing stored.
    bool m_closeNoticeShown = false;
    bool m_terminated = false;
    // No tray at launch: the preferences window shows the status line.
    bool m_windowCarriesStatus = false;
};
