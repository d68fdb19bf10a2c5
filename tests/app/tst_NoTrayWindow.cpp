// Where there is no tray (the offscreen platform has none), the preferences
// window is the whole application: status line, About, Quit, a notice on
// the first close; and it hands all that back when a tray turns up.

#include "DelegateHome.h"
#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "bridge/BridgeController.h"
#include "platform/LaunchOnLogin.h"
#include "preferences/PreferencesWindow.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

class TestNoTrayWindow : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<DelegateHome> m_home;
    std::unique_ptr<AppDelegate> m_delegate;
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
        const DeviceInfo info = speakerAt(QStringLiteral("127.0.0.2"), QStringLiteral("Den"), {});
        m_home->discover(info);
        if (airPlayService) {
            DeviceSettings record = *m_home->settings.device(info.location);
            record.airPlayService = airPlayService;
            m_home->settings.setDevice(info.location, record);
        }
        m_home->discovery.stopSearching();
        QTRY_COMPARE(m_delegate->controller()->status(), QStringLiteral("Corvane: Running"));
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<DelegateHome>();
        m_delegate =
            std::make_unique<AppDelegate>(AppDelegate::StatusItemMode::Tray, m_home->services());
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
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
        m_delegate.reset();
        m_home.reset();
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
        QVERIFY(!window()->isVisible()); // the menu brings back only a window still open
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
        m_home->settings.skipAirPlaySpeakers = skipping;
        runBridge(service);
        m_delegate->rebuildDeviceMenuItems();
        QTEST(m_delegate->deviceMenuItems().value(0)->toolTip(), "tooltip");
    }

    // The window's Quit ends the event loop, through the same path as the
    // menu's, and the bridge with it.
    void quitEndsTheApplicationAndTheBridge()
    {
        runBridge();
        QVERIFY(m_home->bridge.isRunning());
        connect(qApp, &QCoreApplication::aboutToQuit, m_delegate.get(),
                &AppDelegate::applicationWillTerminate);
        QTimer::singleShot(0, this, [this] {
            QTest::mouseClick(child<QPushButton>("quitButton"), Qt::LeftButton);
        });
        // Fails the test instead of hanging it if Quit did nothing.
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!m_home->bridge.isRunning());
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
    }
};

QTEST_MAIN(TestNoTrayWindow)
#include "tst_NoTrayWindow.moc"
