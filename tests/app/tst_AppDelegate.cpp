#include "Version.h"
#include "app/AppDelegate.h"
#include "app/BridgeState.h"
#include "app/StatusMenu.h"
#include "bridge/AirConnect.h"
#include "discovery/DeviceDiscovery.h"
#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "settings/Settings.h"
#include "support/LogCapture.h"

#include <QAction>
#include <QIcon>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

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
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<LogCapture> m_log;

    NotificationCenter& center() { return NotificationCenter::shared(); }

    void discover(const DeviceInfo& info, bool coordinator = true)
    {
        Q_EMIT center().deviceDiscovered(SSDPMSearchResponse{}, info,
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
        AppDelegate::Services services{m_settings.get(), m_discovery.get(), m_bridge.get(),
                                       m_reporter.get(), nullptr};
        m_delegate = std::make_unique<AppDelegate>(AppDelegate::StatusItemMode::Headless, services);
        m_log = std::make_unique<LogCapture>();
        Corvane::bridgeStopped = true; // launching must clear it
        m_delegate->applicationDidFinishLaunching();
        QVERIFY(!Corvane::bridgeStopped);
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
    }

    void mergeKeepsOneRecordPerSpeaker()
    {
        const DeviceInfo kitchen = speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Kitchen"),
                                           QStringLiteral("uuid:RINCON_A"));
        discover(kitchen);
        QVERIFY(logged(QStringLiteral("Adding menu item Kitchen - One (") +
                       kitchen.location.toString() + QLatin1Char(')')));
        DeviceSettings record = *m_settings->device(kitchen.location);
        QVERIFY(record.active && record.enabled && !record.nameChanged);

        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        record.enabled = false;
        m_settings->setDevice(kitchen.location, record);
        discover(speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Pantry"),
                         QStringLiteral("uuid:RINCON_A")));
        QVERIFY(logged(QStringLiteral("Updating menu item Chef (") + kitchen.location.toString() +
                       QLatin1Char(')')));
        QCOMPARE(m_settings->deviceCount(), 1);
        QCOMPARE(m_settings->device(kitchen.location)->name, QStringLiteral("Chef"));
        QVERIFY(!m_settings->device(kitchen.location)->enabled);
        QCOMPARE(m_delegate->deviceMenuItems().size(), 1);

        // Without a name of the user's own, the name follows the room.
        record = *m_settings->device(kitchen.location);
        record.nameChanged = false;
        m_settings->setDevice(kitchen.location, record);
        discover(speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Hall"),
                         QStringLiteral("uuid:RINCON_A")));
        QCOMPARE(m_settings->device(kitchen.location)->name, QStringLiteral("Hall - One"));
        QVERIFY(!m_settings->device(kitchen.location)->enabled);
    }

    void movedSpeakerKeepsItsRecord()
    {
        // Remembered from an earlier run under its old address.
        const DeviceInfo old = speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Kitchen"),
                                       QStringLiteral("uuid:RINCON_A"));
        DeviceSettings remembered = mergeDiscovered(std::nullopt, old, DeviceTopology(true, "G"));
        remembered.active = false;
        remembered.name = QStringLiteral("Chef");
        remembered.nameChanged = true;
        remembered.enabled = false;
        m_settings->setDevice(old.location, remembered);

        const DeviceInfo moved = speaker(QStringLiteral("127.0.0.9"), QStringLiteral("Kitchen"),
                                         QStringLiteral("uuid:RINCON_A"));
        discover(moved);
        QCOMPARE(m_settings->deviceCount(), 1);
        QVERIFY(!m_settings->device(old.location));
        const DeviceSettings record = *m_settings->device(moved.location);
        QCOMPARE(record.name, QStringLiteral("Chef"));
        QVERIFY(record.nameChanged && !record.enabled && record.active);
        QVERIFY(logged(QStringLiteral("Moving Chef from ") + old.location.toString() +
                       QStringLiteral(" to ") + moved.location.toString()));

        // A different speaker (other UDN) is never merged into it.
        discover(speaker(QStringLiteral("127.0.0.10"), QStringLiteral("Kitchen"),
                         QStringLiteral("uuid:RINCON_B")));
        QCOMPARE(m_settings->deviceCount(), 2);
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
        Q_EMIT center().deviceSettingsChanged();
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

    void launchWithSpeakersStartsTheBridge()
    {
        discover(speaker(QStringLiteral("127.0.0.2"), QStringLiteral("Kitchen"),
                         QStringLiteral("uuid:A")));
        m_discovery->stopSearching(); // the search's end, without waiting 8 s
        QVERIFY(logged(QStringLiteral("Discovery complete, starting AirConnect")));
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(statusLog(), QStringList({QStringLiteral("Corvane: Starting..."),
                                           QStringLiteral("Corvane: Running")}));
        QVERIFY(QFile::exists(m_bridge->configPath()));

        Q_EMIT center().discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, AirConnect already running")));

        // Turning off: "Off", then "Stopped" once the bridge has ended.
        QSignalSpy appStopped(&center(), &NotificationCenter::appStopped);
        m_delegate->onOffClicked();
        QVERIFY(logged(QStringLiteral("offClicked")));
        QVERIFY(logged(QStringLiteral("Discovery complete, bridge is stopped")));
        QCOMPARE(appStopped.size(), 1);
        QVERIFY(Corvane::bridgeStopped);
        QCOMPARE(status(), QStringLiteral("Corvane: Off"));
        QTRY_COMPARE(status(), QStringLiteral("Corvane: Stopped"));
        QCOMPARE(m_delegate->onOffMenuItem()->text(), QStringLiteral("Turn Corvane On"));

        // And on again: a new search; the bridge waits for its end.
        m_delegate->onOffClicked();
        QVERIFY(logged(QStringLiteral("onClicked")));
        QVERIFY(!Corvane::bridgeStopped);
        QCOMPARE(status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QVERIFY(m_discovery->isSearching());
        QVERIFY(!m_bridge->isRunning());
    }

    void noSpeakersFound()
    {
        // Turning off before any speaker answered: the stop's own end report wins.
        m_delegate->onOffClicked();
        QTRY_COMPARE(status(), QStringLiteral("Corvane: No Speakers Found"));
        QVERIFY(logged(QStringLiteral("Discovery finished with no speakers found")));
        // Stopping a session may report its end twice; both say the same.
        QCOMPARE(statusLog().first(), QStringLiteral("Corvane: Off"));
        QCOMPARE(statusLog().last(), QStringLiteral("Corvane: No Speakers Found"));
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
