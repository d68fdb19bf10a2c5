// Where there is no tray (the offscreen platform has none), the preferences
// window is the whole application: status line, About, Quit, a notice on
// the first close; and it hands all that back when a tray turns up.

#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "bridge/AirConnect.h"
#include "bridge/BridgeController.h"
#include "discovery/DeviceDiscovery.h"
#include "platform/DefaultsStore.h"
#include "platform/LaunchOnLogin.h"
#include "platform/SystemSleep.h"
#include "preferences/PreferencesWindow.h"
#include "settings/Settings.h"
#include "support/FakeInhibitor.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

class TestNoTrayWindow : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<DeviceDiscovery> m_discovery;
    std::unique_ptr<AirConnect> m_bridge;
    std::unique_ptr<CrashReporter> m_reporter;
    std::unique_ptr<LaunchOnLogin> m_launchOnLogin;
    std::unique_ptr<AppDelegate> m_delegate;
    FakeInhibitor m_inhibitor;
    QStringList m_notices;

    PreferencesWindow* window() const { return m_delegate->preferencesWindow(); }
    template <typename T> T* child(const char* name) const
    {
        return window()->findChild<T*>(QLatin1String(name));
    }
    bool shows(const char* name) const { return child<QWidget>(name)->isVisibleTo(window()); }

    // A speaker found and the search ended: the bridge runs.
    void runBridge(const std::optional<QString>& airPlayService = std::nullopt)
    {
        DeviceInfo info(QUrl(QStringLiteral("http://127.0.0.2:1400/xml/device_description.xml")));
        info.roomName = QStringLiteral("Den");
        info.displayName = QStringLiteral("One");
        emit m_discovery->deviceDiscovered({}, info, DeviceTopology(true, QStringLiteral("G")));
        if (airPlayService) {
            DeviceSettings record = *m_settings->device(info.location);
            record.airPlayService = airPlayService;
            m_settings->setDevice(info.location, record);
        }
        m_discovery->stopSearching();
        QTRY_COMPARE(m_delegate->controller()->status(), QStringLiteral("Corvane: Running"));
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->path());
        m_settings = std::make_unique<Settings>(*m_store);
        DeviceDiscovery::Options options;
        options.ssdp.destinations = {SSDPDestination{QHostAddress(QHostAddress::LocalHost), 9}};
        m_discovery = std::make_unique<DeviceDiscovery>(options);
        m_bridge = std::make_unique<AirConnect>(
            AirConnect::Options{QStringLiteral(TEST_SUPPORT_DIR "/fake-bridge-ready"),
                                m_dir->filePath(QStringLiteral("airupnp.xml")), 10s, 500ms, 100ms});
        m_reporter =
            std::make_unique<CrashReporter>(m_dir->filePath(QStringLiteral("state")), QString());
        m_launchOnLogin = std::make_unique<LaunchOnLogin>(
            m_dir->filePath(QStringLiteral("autostart")), QStringLiteral("/x/corvane-helper"));
        SystemSleep::setInhibitor(&m_inhibitor);
        AppDelegate::Services services{m_settings.get(), m_discovery.get(), m_bridge.get(),
                                       m_reporter.get(), nullptr,           m_launchOnLogin.get()};
        m_delegate = std::make_unique<AppDelegate>(AppDelegate::StatusItemMode::Tray, services);
        m_notices.clear();
        m_delegate->setNotificationPresenter(
            [this](const QString& summary, const QString& body) { m_notices << summary << body; });
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(window() && window()->isVisible());
    }

    void cleanup()
    {
        m_delegate->applicationWillTerminate();
        QVERIFY(m_bridge->livingProcessIds().isEmpty());
        m_delegate.reset();
        m_bridge.reset();
        m_discovery.reset();
        SystemSleep::setInhibitor(nullptr);
    }

    void windowCarriesTheApplication()
    {
        QVERIFY(shows("statusLabel") && shows("aboutButton") && shows("quitButton"));
        QVERIFY(!shows("feedbackButton")); // no feedback address in this build of the test
        runBridge();
        QTRY_COMPARE(child<QLabel>("statusLabel")->text(), QStringLiteral("Corvane: Running"));
        QString about;
        m_delegate->setAboutPresenter([&](const QString& text) { about = text; });
        QTest::mouseClick(child<QPushButton>("aboutButton"), Qt::LeftButton);
        QVERIFY(about.startsWith(QStringLiteral("Corvane ")));
    }

    // Closing leaves Corvane running; the first close of the run says so.
    void closeNoticeOnce()
    {
        for (int i = 0; i < 2; ++i) {
            m_delegate->showWindow();
            QVERIFY(window()->close());
            QVERIFY(!window()->isVisible());
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
        m_delegate->statusMenu()->hide();
    }

    void speakerItemTooltip_data()
    {
        QTest::addColumn<std::optional<QString>>("service");
        QTest::addColumn<bool>("skipping");
        QTest::addColumn<QString>("tooltip");
        const std::optional<QString> raop = QStringLiteral("Den._raop._tcp");
        QTest::newRow("no service, the name") << std::optional<QString>() << false << "Den - One";
        QTest::newRow("service") << raop << false << "Plays AirPlay itself";
        QTest::newRow("skipped") << raop << true << "Plays AirPlay itself - not bridged";
    }

    void speakerItemTooltip()
    {
        QFETCH(std::optional<QString>, service);
        QFETCH(bool, skipping);
        m_settings->skipAirPlaySpeakers = skipping;
        runBridge(service);
        m_delegate->rebuildDeviceMenuItems();
        QTEST(m_delegate->deviceMenuItems().value(0)->toolTip(), "tooltip");
    }

    // The window's Quit ends the event loop, through the same path as the
    // menu's, and the bridge with it.
    void quitEndsTheApplicationAndTheBridge()
    {
        runBridge();
        QVERIFY(m_bridge->isRunning());
        connect(qApp, &QCoreApplication::aboutToQuit, m_delegate.get(),
                &AppDelegate::applicationWillTerminate);
        QTimer::singleShot(0, this, [this] {
            QTest::mouseClick(child<QPushButton>("quitButton"), Qt::LeftButton);
        });
        // Fails the test instead of hanging it if Quit did nothing.
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!m_bridge->isRunning());
        QVERIFY(m_bridge->livingProcessIds().isEmpty());
    }
};

QTEST_MAIN(TestNoTrayWindow)
#include "tst_NoTrayWindow.moc"
