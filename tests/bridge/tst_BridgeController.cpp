#include "bridge/AirConnect.h"
#include "bridge/BridgeController.h"
#include "discovery/DeviceDiscovery.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemSleep.h"
#include "settings/Settings.h"
#include "support/FakeInhibitor.h"
#include "support/LogCapture.h"

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

// The controller with no widgets at all: private settings, a discovery aimed
// at nothing (tests emit its signals), a fake bridge and a fake inhibitor.
class TestBridgeController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<Settings> m_settings;
    std::unique_ptr<DeviceDiscovery> m_discovery;
    std::unique_ptr<AirConnect> m_bridge;
    std::unique_ptr<FakeInhibitor> m_inhibitor;
    std::unique_ptr<BridgeController> m_controller;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<QSignalSpy> m_status;

    void discover(const DeviceInfo& info, bool coordinator = true)
    {
        emit m_discovery->deviceDiscovered(SSDPMSearchResponse{}, info,
                                           DeviceTopology(coordinator, QStringLiteral("G")));
    }
    bool logged(const QString& text) const
    {
        return std::any_of(m_log->lines.begin(), m_log->lines.end(),
                           [&](const LogCapture::Line& line) { return std::get<2>(line) == text; });
    }
    QStringList statuses() const
    {
        QStringList out;
        for (const QList<QVariant>& call : *m_status)
            out.append(call.at(0).toString());
        return out;
    }
    QUrl at(const char* host) const
    {
        return QUrl(
            QStringLiteral("http://%1:1400/xml/device_description.xml").arg(QLatin1String(host)));
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
        m_inhibitor = std::make_unique<FakeInhibitor>();
        SystemSleep::setInhibitor(m_inhibitor.get());
        m_controller = std::make_unique<BridgeController>(
            BridgeController::Services{m_settings.get(), m_discovery.get(), m_bridge.get()});
        m_log = std::make_unique<LogCapture>();
        m_status =
            std::make_unique<QSignalSpy>(m_controller.get(), &BridgeController::statusChanged);
    }

    void cleanup()
    {
        m_controller->shutdown(2000);
        QVERIFY(m_bridge->livingProcessIds().isEmpty());
        m_status.reset();
        m_controller.reset();
        m_bridge.reset();
        m_discovery.reset();
        SystemSleep::setInhibitor(nullptr);
        m_inhibitor.reset();
        m_log.reset();
    }

    void mergeKeepsTheUsersChoices()
    {
        QSignalSpy changed(m_controller.get(), &BridgeController::devicesChanged);
        const DeviceInfo kitchen = speaker("127.0.0.2", "Kitchen", "uuid:RINCON_A");
        discover(kitchen);
        QVERIFY(logged(QStringLiteral("Adding menu item Kitchen - One (") +
                       kitchen.location.toString() + QLatin1Char(')')));
        QCOMPARE(changed.size(), 1);
        DeviceSettings record = *m_settings->device(kitchen.location);
        QVERIFY(record.active && record.enabled && !record.nameChanged);

        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        record.enabled = false;
        m_settings->setDevice(kitchen.location, record);
        discover(speaker("127.0.0.2", "Pantry", "uuid:RINCON_A"));
        QVERIFY(logged(QStringLiteral("Updating menu item Chef (") + kitchen.location.toString() +
                       QLatin1Char(')')));
        QCOMPARE(m_settings->deviceCount(), 1);
        QCOMPARE(m_settings->device(kitchen.location)->name, QStringLiteral("Chef"));
        QVERIFY(!m_settings->device(kitchen.location)->enabled);

        // Without a name of the user's own, the name follows the room.
        record = *m_settings->device(kitchen.location);
        record.nameChanged = false;
        m_settings->setDevice(kitchen.location, record);
        discover(speaker("127.0.0.2", "Hall", "uuid:RINCON_A"));
        QCOMPARE(m_settings->device(kitchen.location)->name, QStringLiteral("Hall - One"));
        QVERIFY(!m_settings->device(kitchen.location)->enabled);
    }

    void movedSpeakerKeepsItsRecord()
    {
        // Remembered from an earlier run under its old address.
        const DeviceInfo old = speaker("127.0.0.2", "Kitchen", "uuid:RINCON_A");
        DeviceSettings remembered = mergeDiscovered(std::nullopt, old, DeviceTopology(true, "G"));
        remembered.active = false;
        remembered.name = QStringLiteral("Chef");
        remembered.nameChanged = true;
        remembered.enabled = false;
        m_settings->setDevice(old.location, remembered);

        const DeviceInfo moved = speaker("127.0.0.9", "Kitchen", "uuid:RINCON_A");
        discover(moved);
        QCOMPARE(m_settings->deviceCount(), 1);
        QVERIFY(!m_settings->device(old.location));
        const DeviceSettings record = *m_settings->device(moved.location);
        QCOMPARE(record.name, QStringLiteral("Chef"));
        QVERIFY(record.nameChanged && !record.enabled && record.active);
        QVERIFY(logged(QStringLiteral("Moving Chef from ") + old.location.toString() +
                       QStringLiteral(" to ") + moved.location.toString()));

        // Seen at yet another address within this run: still one record.
        discover(speaker("127.0.0.11", "Kitchen", "uuid:RINCON_A"));
        QCOMPARE(m_settings->deviceCount(), 1);
        QCOMPARE(m_settings->devices().first().name, QStringLiteral("Chef"));

        // A different speaker (other UDN) is never merged into it.
        discover(speaker("127.0.0.10", "Kitchen", "uuid:RINCON_B"));
        QCOMPARE(m_settings->deviceCount(), 2);
    }

    // The four outcomes of a search's end, and the sleep inhibitor that
    // follows the bridge.
    void searchEndDecidesTheBridge()
    {
        // Nothing found.
        emit m_discovery->discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery finished with no speakers found")));
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: No Speakers Found"));
        QVERIFY(!m_bridge->isRunning());

        // A speaker: the bridge starts, and keeps the machine awake.
        discover(speaker("127.0.0.2", "Kitchen", "uuid:A"));
        emit m_discovery->discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, starting AirConnect")));
        QVERIFY(m_bridge->isRunning());
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(statuses().mid(1), QStringList({QStringLiteral("Corvane: Starting..."),
                                                 QStringLiteral("Corvane: Running")}));
        QCOMPARE(m_inhibitor->trace, QStringLiteral("i"));
        m_inhibitor->answer(true);
        const qint64 pid = m_bridge->processId();

        // Already running: left alone.
        emit m_discovery->discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, AirConnect already running")));
        QCOMPARE(m_bridge->processId(), pid);

        // The bridge ends by itself: sleep is allowed again and Corvane reads as off.
        QVERIFY(m_controller->isOn());
        ::kill(pid_t(pid), SIGKILL);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));
        QCOMPARE(m_inhibitor->trace, QStringLiteral("ir"));
        QVERIFY(!m_controller->isOn());

        // Turned off by the user: a search's end starts nothing.
        m_controller->turnOff();
        emit m_discovery->discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, bridge is stopped")));
        QVERIFY(!m_bridge->isRunning());
    }

    // No bridge executable: the status says so, the log says once what to
    // do, and once the file is there turning Corvane on runs it.
    void missingBridgeExplained()
    {
        const QString folder = m_dir->filePath(QStringLiteral("libexec"));
        const QString path = folder + QStringLiteral("/airupnp-test");
        AirConnect bridge(
            {path, m_dir->filePath(QStringLiteral("airupnp.xml")), 10s, 500ms, 100ms});
        BridgeController controller({m_settings.get(), m_discovery.get(), &bridge});
        discover(speaker("127.0.0.2", "Kitchen", "uuid:A"));
        for (int i = 0; i < 2; ++i) {
            emit m_discovery->discoveryComplete();
            QCOMPARE(controller.status(), QStringLiteral("Corvane: AirConnect Not Installed"));
            QVERIFY(bridge.isBridgeMissing());
        }
        QStringList guidance;
        for (const auto& [level, category, message] : m_log->lines)
            if (level == Logging::Level::Warning && message.contains(AirConnect::releasesUrl))
                guidance.append(message);
        QCOMPARE(guidance.size(), 1);
        QVERIFY(guidance[0].contains(QStringLiteral(" airupnp-test ")));
        QVERIFY(guidance[0].contains(QStringLiteral(" ") + folder + QStringLiteral(" ")));

        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::copy(QStringLiteral(TEST_SUPPORT_DIR "/fake-bridge-ready"), path));
        controller.turnOn();
        m_discovery->stopSearching();
        QTRY_COMPARE(controller.status(), QStringLiteral("Corvane: Running"));
        QVERIFY(!bridge.isBridgeMissing());
        ::kill(pid_t(bridge.processId()), SIGKILL);
        QTRY_COMPARE(controller.status(), QStringLiteral("Corvane: Stopped"));
    }

    void offIntentLastsUntilTurnedOn()
    {
        discover(speaker("127.0.0.2", "Kitchen", "uuid:A"));
        m_controller->launch();
        QVERIFY(m_discovery->isSearching());
        QSignalSpy appStopped(m_controller.get(), &BridgeController::appStopped);

        // Off during the search: it ends, and its end does not start the bridge.
        m_controller->turnOff();
        QVERIFY(m_controller->isStoppedByUser());
        QCOMPARE(appStopped.size(), 1);
        QVERIFY(!m_discovery->isSearching());
        QVERIFY(logged(QStringLiteral("Discovery complete, bridge is stopped")));
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: Off"));
        QVERIFY(!m_controller->isOn());
        QTest::qWait(50);
        QVERIFY(!m_bridge->isRunning());

        // On again: a new search, whose end starts the bridge.
        m_controller->turnOn();
        QVERIFY(!m_controller->isStoppedByUser());
        QVERIFY(m_controller->isOn());
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QVERIFY(m_discovery->isSearching());
        m_discovery->stopSearching();
        QVERIFY(m_bridge->isRunning());

        // Off while running stops the bridge; a relaunch clears the intent.
        m_controller->turnOff();
        QVERIFY(!m_bridge->isRunning());
        QTRY_VERIFY(m_bridge->livingProcessIds().isEmpty());
        m_controller->launch();
        QVERIFY(!m_controller->isStoppedByUser());
    }

    void crashesCountedPerVersion()
    {
        m_controller->recordCrash();
        m_controller->recordCrash();
        Settings::overrideApplicationVersion(QStringLiteral("9.9.9"));
        m_controller->recordCrash();
        Settings::overrideApplicationVersion(QString()); // no version: counted under "?.?.?"
        m_controller->recordCrash();
        Settings::overrideApplicationVersion(std::nullopt);
        Settings reloaded(*m_store);
        QCOMPARE(reloaded.crashesByVersion.value(Settings::applicationVersion()), 2);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("9.9.9")), 1);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("?.?.?")), 1);
    }
};

QTEST_GUILESS_MAIN(TestBridgeController)
#include "tst_BridgeController.moc"
