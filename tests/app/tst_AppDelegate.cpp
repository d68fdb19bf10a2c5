#include "Version.h"
#include "app/AppDelegate.h"
#include "app/StatusMenu.h"
#include "bridge/AirConnect.h"
#include "bridge/BridgeController.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "platform/LaunchOnLogin.h"
#include "platform/SystemSleep.h"
#include "settings/Settings.h"
#include "support/FakeInhibitor.h"
#include "support/LogCapture.h"

#include <QAction>
#include <QIcon>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>

using namespace std::chrono_literals;

namespace {

DeviceInfo speaker(const QString& host, const QString& room, const QString& udn)
{
    DeviceInfo info(QUrl(QStringLiteral("http://%1:1400/xml/device_description.xml").arg(host)));
    info.roomName = room;
    info.displayName = QStringLiteral("One");
    info.udn = udn;
    return info;
}

} // namespace

// Drives the delegate through the notifications its collaborators post,
// with private settings, a discovery aimed at nothing and a fake bridge.
class TestAppDelegate : public QObject {
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
    std::unique_ptr<LogCapture> m_log;
    FakeInhibitor m_inhibitor;

    void discover(const DeviceInfo& info, bool coordinator = true)
    {
        Q_EMIT m_discovery->deviceDiscovered(SSDPMSearchResponse{}, info,
                                             DeviceTopology(coordinator, QStringLiteral("G")));
        QCoreApplication::processEvents();
    }

    QString status() const { return m_delegate->firstMenuItem()->text(); }
    bool logged(const QString& text) const
    {
        return std::any_of(m_log->lines.begin(), m_log->lines.end(),
                           [&](const LogCapture::Line& line) { return std::get<2>(line) == text; });
    }
    QStringList statusLog() const
    {
        QStringList out;
        for (const auto& [level, category, message] : m_log->lines) {
            if (message.startsWith(QLatin1String("Corvane: ")))
                out.append(message);
        }
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->path());
        m_settings = std::make_unique<Settings>(*m_store);
        DeviceDiscovery::Options options;
        // Nobody answers on this port of loopback; a search just runs out.
        options.ssdp.destinations = {SSDPDestination{QHostAddress(QHostAddress::LocalHost), 9}};
        m_discovery = std::make_unique<DeviceDiscovery>(options);
        AirConnect::Options bridge;
        bridge.bridgePath = QStringLiteral(TEST_SUPPORT_DIR "/fake-bridge-ready");
        bridge.configPath = m_dir->filePath(QStringLiteral("airupnp.xml"));
        bridge.killTimeout = 500ms;
        bridge.leftoverWait = 100ms;
        m_bridge = std::make_unique<AirConnect>(bridge);
        m_reporter =
            std::make_unique<CrashReporter>(m_dir->filePath(QStringLiteral("state")), QString());
        // A private autostart folder: launching repairs the entry found there.
        m_launchOnLogin = std::make_unique<LaunchOnLogin>(
            m_dir->filePath(QStringLiteral("autostart")), QStringLiteral("/x/corvane-helper"));
        AppDelegate::Services services{m_settings.get(), m_discovery.get(), m_bridge.get(),
                                       m_reporter.get(), nullptr,           m_launchOnLogin.get()};
        SystemSleep::setInhibitor(&m_inhibitor);
        m_delegate = std::make_unique<AppDelegate>(AppDelegate::StatusItemMode::Headless, services);
        m_log = std::make_unique<LogCapture>();
        m_delegate->applicationDidFinishLaunching();
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));
        m_log->lines.clear();
    }

    void cleanup()
    {
        m_delegate->applicationWillTerminate();
        QVERIFY(m_bridge->livingProcessIds().isEmpty());
        m_delegate.reset();
        m_bridge.reset();
        m_discovery.reset();
        m_log.reset();
        SystemSleep::setInhibitor(nullptr);
    }

    void menuShowsSpeakersOfThisRun()
    {
        DeviceSettings remembered = mergeDiscovered(
            std::nullopt,
            speaker(QStringLiteral("127.0.0.5"), QStringLiteral("Attic"), QStringLiteral("uuid:C")),
            DeviceTopology(true, "G"));
        remembered.active = false;
        m_settings->setDevice(remembered.info.location, remembered);

        discover(speaker(QStringLiteral("127.0.0.3"), QStringLiteral("Office"),
                         QStringLiteral("uuid:B")));
        discover(
            speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Bath"), QStringLiteral("uuid:A")));
        DeviceSettings office = *m_settings->device(
            QUrl(QStringLiteral("http://127.0.0.3:1400/xml/device_description.xml")));
        office.enabled = false;
        m_settings->setDevice(office.info.location, office);
        m_delegate->controller()->deviceSettingsChanged();
        QCoreApplication::processEvents();

        const QList<QAction*> items = m_delegate->statusMenu()->actions();
        QCOMPARE(m_delegate->deviceMenuItems().size(), 2);
        QCOMPARE(items.at(4)->text(), QStringLiteral("Bath - One"));
        QCOMPARE(items.at(5)->text(), QStringLiteral("Office - One"));
        QVERIFY(items.at(4)->isChecked() && !items.at(5)->isChecked());
        QVERIFY(!items.at(4)->isEnabled() && !items.at(5)->isEnabled());
        QVERIFY(items.at(6)->isSeparator());
        QCOMPARE(items.at(1), m_delegate->onOffMenuItem());
    }

    // The status line and the on/off item follow the controller, including
    // a bridge that ends by itself.
    void menuFollowsTheBridge()
    {
        discover(speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Kitchen"),
                         QStringLiteral("uuid:A")));
        m_discovery->stopSearching(); // the search's end, without waiting 8 s
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(statusLog(), QStringList({QStringLiteral("Corvane: Starting..."),
                                           QStringLiteral("Corvane: Running")}));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));

        ::kill(pid_t(m_bridge->processId()), SIGKILL);
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Stopped"));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane On"));

        // The item turns Corvane on, then off again.
        m_delegate->onOffClicked();
        QVERIFY(logged(QStringLiteral("onClicked")));
        QVERIFY(m_discovery->isSearching());
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane Off"));
        m_delegate->onOffClicked();
        QVERIFY(logged(QStringLiteral("offClicked")));
        QVERIFY(m_delegate->controller()->isStoppedByUser());
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Off"));
        QTRY_COMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane On"));
        QVERIFY(!m_bridge->isRunning());
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

        m_delegate->crashManagerWillShowSubmitCrashReportAlert(*m_reporter);
        m_delegate->crashManagerWillShowSubmitCrashReportAlert(*m_reporter);
        Settings::overrideApplicationVersion(QStringLiteral("9.9.9"));
        m_delegate->crashManagerWillShowSubmitCrashReportAlert(*m_reporter);
        Settings::overrideApplicationVersion(QString()); // no version: counted under "?.?.?"
        m_delegate->crashManagerWillShowSubmitCrashReportAlert(*m_reporter);
        QVERIFY(logged(QStringLiteral("Failed to lookup CFBundleShortVersionString")));
        Settings::overrideApplicationVersion(std::nullopt);
        Settings reloaded(*m_store);
        QCOMPARE(reloaded.crashesByVersion.value(Settings::applicationVersion()), 2);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("9.9.9")), 1);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("?.?.?")), 1);
    }

    void aboutAndQuit()
    {
        QVERIFY(!QIcon(QStringLiteral(":/statusIcon.svg")).pixmap(22, 22).isNull());
        QString shown;
        m_delegate->setAboutPresenter([&](const QString& text) { shown = text; });
        m_delegate->aboutClicked();
        QCOMPARE(shown, QStringLiteral("Corvane ") + QLatin1String(corvane::kVersion));
        QVERIFY(logged(QStringLiteral("aboutClicked")));
        // Headless builds no feedback manager without an address: the item does nothing.
        m_delegate->feedbackClicked();
        QVERIFY(logged(QStringLiteral("feedbackClicked")));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_AppDelegate.moc"
