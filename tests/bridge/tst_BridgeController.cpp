#include "Version.h"
#include "bridge/BridgeController.h"
#include "support/Household.h"
#include "support/LogCapture.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include <csignal>

// The controller with no widgets at all, in a household of its own.
class TestBridgeController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<Household> m_home;
    std::unique_ptr<BridgeController> m_controller;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<QSignalSpy> m_status;

    void discover(const DeviceInfo& info, bool coordinator = true)
    {
        m_home->discover(info, coordinator);
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

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<Household>();
        m_controller = std::make_unique<BridgeController>(
            BridgeController::Services{&m_home->settings, &m_home->discovery, &m_home->bridge});
        m_log = std::make_unique<LogCapture>();
        m_status =
            std::make_unique<QSignalSpy>(m_controller.get(), &BridgeController::statusChanged);
    }

    void cleanup()
    {
        m_controller->shutdown(2000);
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
        m_status.reset();
        m_controller.reset();
        m_home.reset();
        m_log.reset();
    }

    void mergeKeepsTheUsersChoices()
    {
        QSignalSpy changed(m_controller.get(), &BridgeController::devicesChanged);
        const DeviceInfo kitchen = speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A");
        discover(kitchen);
        QVERIFY(logged(QStringLiteral("Adding menu item Kitchen - One (") +
                       kitchen.location.toString() + QLatin1Char(')')));
        QCOMPARE(changed.size(), 1);
        DeviceSettings record = *m_home->settings.device(kitchen.location);
        QVERIFY(record.active && record.enabled && !record.nameChanged);

        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        record.enabled = false;
        m_home->settings.setDevice(kitchen.location, record);
        discover(speakerAt("127.0.0.2", "Pantry", "uuid:RINCON_A"));
        QVERIFY(logged(QStringLiteral("Updating menu item Chef (") + kitchen.location.toString() +
                       QLatin1Char(')')));
        QCOMPARE(m_home->settings.deviceCount(), 1);
        QCOMPARE(m_home->settings.device(kitchen.location)->name, QStringLiteral("Chef"));
        QVERIFY(!m_home->settings.device(kitchen.location)->enabled);

        // Without a name of the user's own, the name follows the room.
        record = *m_home->settings.device(kitchen.location);
        record.nameChanged = false;
        m_home->settings.setDevice(kitchen.location, record);
        discover(speakerAt("127.0.0.2", "Hall", "uuid:RINCON_A"));
        QCOMPARE(m_home->settings.device(kitchen.location)->name, QStringLiteral("Hall - One"));
        QVERIFY(!m_home->settings.device(kitchen.location)->enabled);
    }

    void movedSpeakerKeepsItsRecord()
    {
        // Remembered from an earlier run under its old address.
        const DeviceInfo old = speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A");
        DeviceSettings remembered = mergeDiscovered(std::nullopt, old, DeviceTopology(true, "G"));
        remembered.active = false;
        remembered.name = QStringLiteral("Chef");
        remembered.nameChanged = true;
        remembered.enabled = false;
        m_home->settings.setDevice(old.location, remembered);

        const DeviceInfo moved = speakerAt("127.0.0.9", "Kitchen", "uuid:RINCON_A");
        discover(moved);
        QCOMPARE(m_home->settings.deviceCount(), 1);
        QVERIFY(!m_home->settings.device(old.location));
        const DeviceSettings record = *m_home->settings.device(moved.location);
        QCOMPARE(record.name, QStringLiteral("Chef"));
        QVERIFY(record.nameChanged && !record.enabled && record.active);
        QVERIFY(logged(QStringLiteral("Moving Chef from ") + old.location.toString() +
                       QStringLiteral(" to ") + moved.location.toString()));

        // Seen at yet another address within this run: still one record.
        discover(speakerAt("127.0.0.11", "Kitchen", "uuid:RINCON_A"));
        QCOMPARE(m_home->settings.deviceCount(), 1);
        QCOMPARE(m_home->settings.devices().first().name, QStringLiteral("Chef"));

        // A different speaker (other UDN) is never merged into it.
        discover(speakerAt("127.0.0.10", "Kitchen", "uuid:RINCON_B"));
        QCOMPARE(m_home->settings.deviceCount(), 2);
    }

    // The four outcomes of a search's end, and the sleep inhibitor that
    // follows the bridge.
    void searchEndDecidesTheBridge()
    {
        // Nothing found.
        emit m_home->discovery.discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery finished with no speakers found")));
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: No Speakers Found"));
        QVERIFY(!m_home->bridge.isRunning());

        // A speaker: the bridge starts, and keeps the machine awake.
        discover(speakerAt("127.0.0.2", "Kitchen", "uuid:A"));
        emit m_home->discovery.discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, starting AirConnect")));
        QVERIFY(m_home->bridge.isRunning());
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(statuses().mid(1), QStringList({QStringLiteral("Corvane: Starting..."),
                                                 QStringLiteral("Corvane: Running")}));
        QCOMPARE(m_home->inhibitor.trace, QStringLiteral("i"));
        m_home->inhibitor.answer(true);
        const qint64 pid = m_home->bridge.processId();

        // Already running: left alone.
        emit m_home->discovery.discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, AirConnect already running")));
        QCOMPARE(m_home->bridge.processId(), pid);

        // The bridge ends by itself: sleep is allowed again and Corvane reads as off.
        QVERIFY(m_controller->isOn());
        ::kill(pid_t(pid), SIGKILL);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));
        QCOMPARE(m_home->inhibitor.trace, QStringLiteral("ir"));
        QVERIFY(!m_controller->isOn());

        // Turned off by the user: a search's end starts nothing.
        m_controller->turnOff();
        emit m_home->discovery.discoveryComplete();
        QVERIFY(logged(QStringLiteral("Discovery complete, bridge is stopped")));
        QVERIFY(!m_home->bridge.isRunning());
    }

    // No bridge executable: the status says so, the log says once what to
    // do, and once the file is there turning Corvane on runs it.
    void missingBridgeExplained()
    {
        Household home(Household::Bridge::Missing);
        AirConnect& bridge = home.bridge;
        BridgeController controller({&home.settings, &home.discovery, &bridge});
        home.discover(speakerAt("127.0.0.2", "Kitchen", "uuid:A"));
        for (int i = 0; i < 2; ++i) {
            emit home.discovery.discoveryComplete();
            QCOMPARE(controller.status(), QStringLiteral("Corvane: AirConnect Not Installed"));
            QVERIFY(bridge.isBridgeMissing());
        }
        QStringList guidance;
        for (const auto& [level, category, message] : m_log->lines)
            if (level == Logging::Level::Warning && message.contains(AirConnect::releasesUrl))
                guidance.append(message);
        QCOMPARE(guidance.size(), 1);
        const QString name = QString::fromUtf8(corvane::kBridgeName);
        const QString path = home.bridgeFolder() + u'/' + name;
        QVERIFY(guidance[0].contains(u' ' + name + u' '));
        QVERIFY(guidance[0].contains(u' ' + home.bridgeFolder() + u' '));

        QVERIFY(QDir().mkpath(home.bridgeFolder()));
        QVERIFY(QFile::copy(QStringLiteral(TEST_SUPPORT_DIR "/fake-bridge-ready"), path));
        controller.turnOn();
        home.discovery.stopSearching();
        QTRY_COMPARE(controller.status(), QStringLiteral("Corvane: Running"));
        QVERIFY(!bridge.isBridgeMissing());
        ::kill(pid_t(bridge.processId()), SIGKILL);
        QTRY_COMPARE(controller.status(), QStringLiteral("Corvane: Stopped"));
        controller.shutdown(2000);
    }

    void offIntentLastsUntilTurnedOn()
    {
        discover(speakerAt("127.0.0.2", "Kitchen", "uuid:A"));
        m_controller->launch();
        QVERIFY(m_home->discovery.isSearching());
        QSignalSpy appStopped(m_controller.get(), &BridgeController::appStopped);

        // Off during the search: it ends, and its end does not start the bridge.
        m_controller->turnOff();
        QVERIFY(m_controller->isStoppedByUser());
        QCOMPARE(appStopped.size(), 1);
        QVERIFY(!m_home->discovery.isSearching());
        QVERIFY(logged(QStringLiteral("Discovery complete, bridge is stopped")));
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: Off"));
        QVERIFY(!m_controller->isOn());
        QTest::qWait(50);
        QVERIFY(!m_home->bridge.isRunning());

        // On again: a new search, whose end starts the bridge.
        m_controller->turnOn();
        QVERIFY(!m_controller->isStoppedByUser());
        QVERIFY(m_controller->isOn());
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: Looking For Speakers..."));
        QVERIFY(m_home->discovery.isSearching());
        m_home->discovery.stopSearching();
        QVERIFY(m_home->bridge.isRunning());

        // Off while running stops the bridge; a relaunch clears the intent.
        m_controller->turnOff();
        QVERIFY(!m_home->bridge.isRunning());
        QTRY_VERIFY(m_home->bridge.livingProcessIds().isEmpty());
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
        QVERIFY(logged(QStringLiteral("Failed to lookup CFBundleShortVersionString")));
        Settings::overrideApplicationVersion(std::nullopt);
        Settings reloaded(m_home->store);
        QCOMPARE(reloaded.crashesByVersion.value(Settings::applicationVersion()), 2);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("9.9.9")), 1);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("?.?.?")), 1);
    }
};

QTEST_GUILESS_MAIN(TestBridgeController)
#include "tst_BridgeController.moc"
