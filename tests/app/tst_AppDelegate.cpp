// Drives the delegate through the notifications its collaborators post, with
// private settings, a discovery aimed at nothing and a fake bridge. Where
// there is no tray (the offscreen platform has none), the preferences window
// is the whole application: status line, About, Quit, a notice on the first
// close; and it hands all that back when a tray turns up.

#include "Version.h"
#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "bridge/BridgeController.h"
#include "platform/CrashReporter.h"
#include "platform/LaunchOnLogin.h"
#include "preferences/PreferencesWindow.h"
#include "support/Household.h"
#include "support/LogCapture.h"

#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <csignal>

// A household with what the delegate needs besides: a crash reporter and an
// autostart folder of its own (launching repairs the entry found there).
struct DelegateHome : Household {
    CrashReporter reporter{dir.filePath(QStringLiteral("state")), QString()};
    LaunchOnLogin launchOnLogin{dir.filePath(QStringLiteral("autostart")),
                                QStringLiteral("/x/corvane-helper")};
};

class TestAppDelegate : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<DelegateHome> m_home;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<LogCapture> m_log;
    QStringList m_notices;

    QString status() const { return m_delegate->firstMenuItem()->text(); }
    PreferencesWindow* window() const { return m_delegate->preferencesWindow(); }
    template <typename T> T* child(const char* name) const
    {
        return window()->findChild<T*>(QLatin1String(name));
    }
    bool shows(const char* name) const { return child<QWidget>(name)->isVisibleTo(window()); }

    // A speaker found and the search ended: the bridge runs.
    void runBridge()
    {
        m_home->discover(speakerAt("127.0.0.2", "Den", "uuid:A"));
        m_home->discovery.stopSearching(); // the search's end, without waiting 8 s
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Running"));
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<DelegateHome>();
        m_delegate = std::make_unique<AppDelegate>(
            AppDelegate::StatusItemMode::Tray,
            AppDelegate::Services{&m_home->settings, &m_home->discovery, &m_home->bridge,
                                  &m_home->reporter, nullptr, &m_home->launchOnLogin});
        m_notices.clear();
        m_delegate->setNotificationPresenter(
            [this](const QString& summary, const QString& body) { m_notices << summary << body; });
        m_log = std::make_unique<LogCapture>();
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(window() && window()->isVisible());
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));
        m_log->lines.clear();
    }

    void cleanup()
    {
        m_delegate->applicationWillTerminate();
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
        m_delegate.reset();
        m_home.reset();
        m_log.reset();
    }

    void menuShowsSpeakersOfThisRun()
    {
        DeviceSettings remembered = mergeDiscovered(
            std::nullopt, speakerAt("127.0.0.5", "Attic", "uuid:C"), DeviceTopology(true, "G"));
        remembered.active = false;
        m_home->settings.setDevice(remembered.info.location, remembered);
        m_home->discover(speakerAt("127.0.0.3", "Office", "uuid:B"));
        m_home->discover(speakerAt("127.0.0.2", "Bath", "uuid:A"));
        DeviceSettings office = *m_home->settings.device(locationOf("127.0.0.3"));
        office.enabled = false;
        m_home->settings.setDevice(office.info.location, office);
        m_delegate->controller()->deviceSettingsChanged();
        QCoreApplication::processEvents();

        const QList<QAction*> items = m_delegate->statusMenu()->actions();
        QCOMPARE(m_delegate->deviceMenuItems().size(), 2);
        QCOMPARE(items.at(4)->text(), QStringLiteral("Bath - One"));
        QCOMPARE(items.at(5)->text(), QStringLiteral("Office - One"));
        QVERIFY(items.at(4)->isChecked() && !items.at(5)->isChecked());
        QVERIFY(!items.at(4)->isEnabled() && !items.at(5)->isEnabled());
        QVERIFY(items.at(6)->isSeparator());
    }

    // The status line, in the menu and the window, and the on/off item
    // follow the controller, including a bridge that ends by itself.
    void menuFollowsTheBridge()
    {
        runBridge();
        QVERIFY(m_log->inOrder(
            {QStringLiteral("Corvane: Starting..."), QStringLiteral("Corvane: Running")}));
        QTRY_COMPARE(child<QLabel>("statusLabel")->text(), QStringLiteral("Corvane: Running"));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));

        ::kill(pid_t(m_home->bridge.processId()), SIGKILL);
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Stopped"));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane On"));

        // The item turns Corvane on, then off again.
        m_delegate->onOffClicked();
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        m_delegate->onOffClicked();
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Off"));
    }

    void crashReporterHooks()
    {
        AppDelegate::crashReporterLog([] { return std::optional<QString>(QStringLiteral("x")); },
                                      CrashReporter::LogLevel::Warning, "/a/b/report", "start", 42);
        AppDelegate::crashReporterLog({}, CrashReporter::LogLevel::Error, nullptr, nullptr, 7);
        AppDelegate::crashReporterLog([] { return std::optional<QString>(QStringLiteral("d")); },
                                      CrashReporter::LogLevel::Debug, "f", "g", 1);
        const LogCapture::Line warning{Logging::Level::Warning, QStringLiteral("HockeySDK"),
                                       QStringLiteral("report:42 start x")};
        const LogCapture::Line error{Logging::Level::Error, QStringLiteral("HockeySDK"),
                                     QStringLiteral(":7  ")};
        QCOMPARE(m_log->lines, QList<LogCapture::Line>({warning, error}));

        // Counting is the controller's (tested there); the delegate hands each crash on.
        m_delegate->crashManagerWillShowSubmitCrashReportAlert(m_home->reporter);
        QCOMPARE(Settings(m_home->store).crashesByVersion.value(Settings::applicationVersion()), 1);
    }

    void windowCarriesTheApplication()
    {
        QVERIFY(!QIcon(QStringLiteral(":/statusIcon.svg")).pixmap(22, 22).isNull());
        QVERIFY(shows("statusLabel") && shows("aboutButton") && shows("quitButton"));
        QVERIFY(!shows("feedbackButton")); // no feedback address in this build of the test
        m_delegate->feedbackClicked();     // so the item does nothing
        QString about;
        m_delegate->setAboutPresenter([&](const QString& text) { about = text; });
        QTest::mouseClick(child<QPushButton>("aboutButton"), Qt::LeftButton);
        QCOMPARE(about, QStringLiteral("Corvane ") + QLatin1String(corvane::kVersion));
    }

    // Closing leaves Corvane running; the first close of the run says so.
    void closeNoticeOnce()
    {
        for (int i = 0; i < 2; ++i) {
            m_delegate->showWindow();
            QVERIFY(window()->close());
        }
        QCOMPARE(m_notices.size(), 2);
        QCOMPARE(m_notices[0], QStringLiteral("Corvane is still running"));
        QVERIFY(m_notices[1].contains(QStringLiteral("Start Corvane again")));
    }

    // A tray that comes later takes the status line and the application's
    // buttons back, so the window keeps nothing stale; closing is then quiet.
    void trayAppearsLater()
    {
        m_delegate->onTrayAppeared();
        QVERIFY(!shows("statusLabel") && !shows("aboutButton") && !shows("quitButton"));
        QVERIFY(window()->close());
        QVERIFY(m_notices.isEmpty());

        // A host that sends a left click as a trigger gets the menu.
        emit m_delegate->statusItem()->activated(QSystemTrayIcon::Trigger);
        QTRY_VERIFY(m_delegate->statusMenu()->isVisible());
        QVERIFY(!window()->isVisible()); // the menu brings back only a window still open
        m_delegate->statusMenu()->hide();
    }

    // A speaker item's tooltip says whether its own AirPlay keeps it off the bridge.
    void speakerItemTooltip()
    {
        m_home->discover(speakerAt("127.0.0.2", "Den", "uuid:A"));
        DeviceSettings record = *m_home->settings.device(locationOf("127.0.0.2"));
        record.airPlayService = QStringLiteral("Den._raop._tcp");
        m_home->settings.setDevice(record.info.location, record);
        for (const bool skipping : {false, true}) {
            m_home->settings.skipAirPlaySpeakers = skipping;
            m_delegate->rebuildDeviceMenuItems();
            QCOMPARE(m_delegate->deviceMenuItems().value(0)->toolTip(),
                     skipping ? QStringLiteral("Plays AirPlay itself - not bridged")
                              : QStringLiteral("Plays AirPlay itself"));
        }
    }

    // The window's Quit ends the event loop, through the same path as the
    // menu's, and the bridge with it.
    void quitEndsTheApplicationAndTheBridge()
    {
        runBridge();
        connect(qApp, &QCoreApplication::aboutToQuit, m_delegate.get(),
                &AppDelegate::applicationWillTerminate);
        QTimer::singleShot(0, this, [this] {
            QTest::mouseClick(child<QPushButton>("quitButton"), Qt::LeftButton);
        });
        // Fails the test instead of hanging it if Quit did nothing.
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_AppDelegate.moc"
