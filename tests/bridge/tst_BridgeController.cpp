#include "Version.h"
#include "bridge/BridgeController.h"
#include "bridge/RestartPolicy.h"
#include "lab/FakeSpeaker.h"
#include "model/ZoneGroupState.h"
#include "support/Household.h"
#include "support/LogCapture.h"

#include <QtTest>

#include <csignal>
#include <memory>

using namespace std::chrono_literals;

// The controller with no widgets at all, in a household of its own; in
// follow mode the test emits its event sources' signals, every delay shortened.
class TestBridgeController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<Household> m_home;
    std::unique_ptr<BridgeController> m_controller;
    std::unique_ptr<LogCapture> m_log;

    int count(const QString& prefix) const
    {
        return int(std::count_if(m_log->lines.begin(), m_log->lines.end(), [&](const auto& line) {
            return std::get<2>(line).startsWith(prefix);
        }));
    }
    // Launches in follow mode with one speaker and waits for the running bridge.
    void runWith(const DeviceInfo& info)
    {
        m_controller->setFollowChanges(true);
        m_home->discover(info);
        emit m_home->discovery.discoveryComplete();
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
    }
    void crashBridge()
    {
        const qint64 pid = m_home->bridge.processId();
        QVERIFY(pid > 0);
        ::kill(pid_t(pid), SIGKILL);
        QTRY_VERIFY(m_home->bridge.processId() != pid);
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<Household>();
        BridgeController::Services services{&m_home->settings, &m_home->discovery, &m_home->bridge};
        FollowOptions& follow = services.follow;
        follow.settleDelay = 150ms;
        follow.resumeDelay = 50ms;
        follow.retrySearchInterval = 100ms;
        follow.earliestSearchEnd = 300ms;
        follow.restart = {50ms, 400ms, 60s, 5, 60s};
        follow.announcements.port = 0; // a free port on loopback, never 1900
        follow.announcements.includeLoopback = true;
        follow.announcements.group = QHostAddress(QHostAddress::LocalHost);
        follow.watchNetwork = false;
        follow.resume.bus = QDBusConnection(QStringLiteral("none")); // no bus
        follow.notifier.bus = QDBusConnection(QStringLiteral("none"));
        m_controller = std::make_unique<BridgeController>(services);
        m_log = std::make_unique<LogCapture>();
    }

    void cleanup()
    {
        m_controller->shutdown(2000);
        QVERIFY(m_home->bridge.livingProcessIds().isEmpty());
        m_controller.reset();
        m_home.reset();
        m_log.reset();
    }

    // A speaker found again, also at a new address, keeps the user's name and choice.
    void mergeKeepsTheUsersChoices()
    {
        QSignalSpy changed(m_controller.get(), &BridgeController::devicesChanged);
        const QUrl kitchen = locationOf("127.0.0.2");
        m_home->discover(speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A"));
        QCOMPARE(changed.size(), 1);
        DeviceSettings record = *m_home->settings.device(kitchen);
        QVERIFY(record.active && record.enabled && !record.nameChanged);

        // Without a name of the user's own, the name follows the room.
        record.enabled = false;
        m_home->settings.setDevice(kitchen, record);
        m_home->discover(speakerAt("127.0.0.2", "Hall", "uuid:RINCON_A"));
        QCOMPARE(m_home->settings.device(kitchen)->name, QStringLiteral("Hall - One"));
        QVERIFY(!m_home->settings.device(kitchen)->enabled);

        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        m_home->settings.setDevice(kitchen, record);
        m_home->discover(speakerAt("127.0.0.2", "Pantry", "uuid:RINCON_A"));
        QCOMPARE(m_home->settings.device(kitchen)->name, QStringLiteral("Chef"));

        // Remembered from an earlier run, then seen at a new address, and at
        // yet another within this run: still one record.
        record.active = false;
        m_home->settings.setDevice(kitchen, record);
        for (const QString& host : {QStringLiteral("127.0.0.9"), QStringLiteral("127.0.0.11")}) {
            m_home->discover(speakerAt(host, "Kitchen", "uuid:RINCON_A"));
            QCOMPARE(m_home->settings.deviceCount(), 1);
            const DeviceSettings moved = *m_home->settings.device(locationOf(host));
            QCOMPARE(moved.name, QStringLiteral("Chef"));
            QVERIFY(moved.nameChanged && !moved.enabled && moved.active);
        }

        // A different speaker (other UDN) is never merged into it.
        m_home->discover(speakerAt("127.0.0.10", "Kitchen", "uuid:RINCON_B"));
        QCOMPARE(m_home->settings.deviceCount(), 2);

        // A table that holds two records of one speaker: the bridge gets one
        // entry per UDN, the one seen in this run.
        DeviceSettings stale =
            mergeDiscovered(std::nullopt, speakerAt("127.0.0.5", "Attic", "uuid:RINCON_A"),
                            DeviceTopology(true, "G"));
        stale.active = false;
        m_home->settings.setDevice(stale.info.location, stale);
        const QList<DeviceSettings> records = m_controller->bridgeRecords();
        QCOMPARE(records.size(), 2);
        QVERIFY(records[0].active && records[1].active);
    }

    // The four outcomes of a search's end, and the sleep inhibitor that
    // follows the bridge.
    void searchEndDecidesTheBridge()
    {
        // Nothing found.
        emit m_home->discovery.discoveryComplete();
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: No Speakers Found"));
        QVERIFY(!m_home->bridge.isRunning());

        // A speaker: the bridge starts, and keeps the machine awake.
        m_home->discover(speakerAt("127.0.0.2", "Kitchen", "uuid:A"));
        emit m_home->discovery.discoveryComplete();
        QVERIFY(m_home->bridge.isRunning());
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(m_home->inhibitor.trace, QStringLiteral("i"));
        m_home->inhibitor.answer(true);
        const qint64 pid = m_home->bridge.processId();

        // Already running: left alone.
        emit m_home->discovery.discoveryComplete();
        QCOMPARE(m_home->bridge.processId(), pid);

        // The bridge ends by itself: sleep is allowed again and Corvane reads as off.
        QVERIFY(m_controller->isOn());
        ::kill(pid_t(pid), SIGKILL);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));
        QCOMPARE(m_home->inhibitor.trace, QStringLiteral("ir"));
        QVERIFY(!m_controller->isOn());
    }

    // No bridge executable: the status says so, the log says once what to
    // do, and once the file is there turning Corvane on runs it.
    void missingBridgeExplained()
    {
        Household home(Household::Bridge::Missing);
        BridgeController controller({&home.settings, &home.discovery, &home.bridge});
        home.discover(speakerAt("127.0.0.2", "Kitchen", "uuid:A"));
        for (int i = 0; i < 2; ++i) {
            emit home.discovery.discoveryComplete();
            QCOMPARE(controller.status(), QStringLiteral("Corvane: AirConnect Not Installed"));
        }
        const QString name = QString::fromUtf8(corvane::kBridgeName);
        QCOMPARE(count("AirConnect is not installed. Download " + name + " from " +
                       AirConnect::releasesUrl + ", put it in " + home.bridgeFolder() + " and"),
                 1);

        QVERIFY(QDir().mkpath(home.bridgeFolder()));
        QVERIFY(QFile::copy(QStringLiteral(TEST_SUPPORT_DIR "/fake-bridge-ready"),
                            home.bridgeFolder() + u'/' + name));
        controller.turnOn();
        home.discovery.stopSearching();
        QTRY_COMPARE(controller.status(), QStringLiteral("Corvane: Running"));
        QVERIFY(!home.bridge.isBridgeMissing());
        controller.shutdown(2000);
    }

    void offIntentLastsUntilTurnedOn()
    {
        m_home->discover(speakerAt("127.0.0.2", "Kitchen", "uuid:A"));
        m_controller->launch();
        QSignalSpy appStopped(m_controller.get(), &BridgeController::appStopped);

        // Off during the search: it ends, and its end does not start the bridge.
        m_controller->turnOff();
        QCOMPARE(appStopped.size(), 1);
        QVERIFY(count(QStringLiteral("Discovery complete, bridge is stopped")));
        QVERIFY(!m_controller->isOn() && !m_home->bridge.isRunning());

        // On again: a new search, whose end starts the bridge.
        m_controller->turnOn();
        QVERIFY(m_controller->isOn());
        m_home->discovery.stopSearching();
        QVERIFY(m_home->bridge.isRunning());

        // Off while running stops the bridge; a relaunch clears the intent.
        m_controller->turnOff();
        QVERIFY(!m_home->bridge.isRunning());
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
        QVERIFY(count(QStringLiteral("Failed to lookup CFBundleShortVersionString")));
        Settings::overrideApplicationVersion(std::nullopt);
        Settings reloaded(m_home->store);
        QCOMPARE(reloaded.crashesByVersion.value(Settings::applicationVersion()), 2);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("9.9.9")), 1);
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("?.?.?")), 1);
    }

    void followedChangesRestartOnceAfterSettling()
    {
        const DeviceInfo kitchen = speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A");
        runWith(kitchen);
        QVERIFY(Settings(m_home->store).followChanges); // saved
        const qint64 first = m_home->bridge.processId();

        // A re-announcement that changes nothing restarts nothing.
        m_home->discover(kitchen);
        QTest::qWait(300);
        QCOMPARE(m_home->bridge.processId(), first);

        // A speaker found later and a rename in one burst: one restart.
        m_home->discover(speakerAt("127.0.0.3", "Pantry", "uuid:RINCON_B"));
        DeviceSettings record = *m_home->settings.device(kitchen.location);
        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        m_home->settings.setDevice(kitchen.location, record);
        m_controller->deviceSettingsChanged();
        QTRY_COMPARE(count("Restarting AirConnect: "), 1);
        QCOMPARE(count("Restarting AirConnect: Pantry - One found, settings changed"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        const QString config = m_home->config();
        QVERIFY(config.contains("<name>Chef</name>") && config.contains("<name>Pantry - One"));
        QTest::qWait(300);
        QCOMPARE(count("Restarting AirConnect: "), 1);

        // Disabled, then seen at a new address: a restart for the move.
        record.enabled = false;
        m_home->settings.setDevice(kitchen.location, record);
        m_home->discover(speakerAt("127.0.0.9", "Kitchen", "uuid:RINCON_A"));
        QTRY_COMPARE(count("Restarting AirConnect: Chef moved"), 1);
    }

    void groupsAnnouncementsAndGoodbyes()
    {
        runWith(speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A"));
        // A group member: written disabled, which is a change all the same.
        m_home->discover(speakerAt("127.0.0.3", "Den", "uuid:RINCON_B"), false);
        QTRY_COMPARE(count("Restarting AirConnect: Den - One found"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));

        // Kitchen joins Den's new group; the bridge gets Den instead, at once.
        ZoneGroupState state;
        state.groups.append({"RINCON_B:1", "RINCON_B", {{"RINCON_B"}, {"RINCON_A"}}});
        emit m_controller->groupEvents()->groupStateChanged(state);
        QTRY_COMPARE(count("Restarting AirConnect: group change"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        for (const DeviceSettings& record : m_controller->bridgeRecords())
            QCOMPARE(record.isBridged(), record.info.udn == QStringLiteral("uuid:RINCON_B"));
        const qint64 pid = m_home->bridge.processId();

        // Goodbye: the speaker leaves the menu, the bridge stays as it is.
        QSignalSpy changed(m_controller.get(), &BridgeController::devicesChanged);
        emit m_controller->announcements()->byebye(QStringLiteral("RINCON_B"));
        QVERIFY(!m_home->settings.device(locationOf("127.0.0.3"))->active);
        QCOMPARE(changed.size(), 1);
        m_controller->deviceSettingsChanged(); // nothing else changed
        QTest::qWait(300);
        QCOMPARE(m_home->bridge.processId(), pid);

        // A new speaker's announcement is fetched (here from nobody), once;
        // so is the one that said goodbye, now that it is back.
        const auto announce = [&](const QString& host, const QString& udn) {
            for (int i = 0; i < 2; ++i)
                emit m_controller->announcements()->alive(locationOf(host), udn);
            return count("Fetching announced speaker at " + locationOf(host).toString());
        };
        QCOMPARE(announce("127.0.0.4", "RINCON_C"), 1);
        QCOMPARE(announce("127.0.0.3", "RINCON_B"), 1);

        // Back from suspend: a new search and a restart.
        emit m_controller->resumeWatcher()->resumed();
        QTRY_COMPARE(count("Restarting AirConnect: resumed from suspend"), 1);
        QVERIFY(m_home->discovery.isSearching());
    }

    void crashesRestartWithGrowingDelaysThenGiveUp()
    {
        runWith(speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A"));
        for (const int delay : {50, 100, 200, 400}) {
            crashBridge();
            QTRY_COMPARE(count(QStringLiteral("AirConnect ended unexpectedly: restarting it in "
                                              "%1 ms")
                                   .arg(delay)),
                         1);
            if (delay == 400) // a speaker found meanwhile waits for the restart too
                m_home->discover(speakerAt("127.0.0.3", "Pantry", "uuid:RINCON_B"));
            QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        }
        QCOMPARE(count("Starting AirConnect: Pantry"), 0);
        crashBridge();
        QTRY_COMPARE(count("AirConnect ended unexpectedly too often"), 1);
        QTest::qWait(600);
        QVERIFY(!m_home->bridge.isRunning());

        // Turned on again: afresh.
        m_controller->turnOn();
        m_home->discovery.stopSearching();
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        crashBridge();
        QTRY_COMPARE(count("AirConnect ended unexpectedly: restarting it in 50 ms"), 2);
    }

    void stopsAskedForNeverRestart()
    {
        runWith(speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A"));
        m_home->discover(
            speakerAt("127.0.0.5", "Attic", "uuid:RINCON_D")); // a restart waits to settle...
        m_controller->stopBridge(); // ...and the window's Stop calls it off
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));
        m_home->discover(speakerAt("127.0.0.3", "Pantry", "uuid:RINCON_B"));
        QTest::qWait(300);
        QVERIFY(!m_home->bridge.isRunning());

        m_controller->turnOn();
        m_home->discovery.stopSearching();
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        emit m_controller->resumeWatcher()->resumed(); // its search is called off too
        m_controller->turnOff();
        m_home->discover(speakerAt("127.0.0.4", "Hall", "uuid:RINCON_C"));
        QTest::qWait(300);
        QVERIFY(!m_home->bridge.isRunning() && !m_home->discovery.isSearching());
        QCOMPARE(count("Restarting AirConnect"), 0);
        QCOMPARE(count("AirConnect ended unexpectedly"), 0);
    }

    // The launch search ends once the household has answered, but never
    // before its earliest end, which leaves room for other households.
    void launchSearchEndsOnceHouseholdAnswered()
    {
        FakeSpeaker kitchen({});
        QVERIFY(kitchen.start());
        m_home->settings.followChanges = true;
        QElapsedTimer clock;
        clock.start();
        m_controller->launch();
        m_home->discovery.fetchAnnounced(kitchen.location());
        QTRY_VERIFY(!m_home->discovery.isSearching());
        QVERIFY(clock.elapsed() >= 250); // a coarse timer may fire a little early
        QCOMPARE(count("Every speaker of the household has answered"), 1);
    }

    void nothingFoundSearchesAgain()
    {
        m_controller->setFollowChanges(true);
        m_home->discovery.searchForDevices(8.0);
        m_home->discovery.stopSearching();
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: No Speakers Found"));
        QTRY_VERIFY(m_home->discovery.isSearching()); // again, by itself
        // A speaker announced meanwhile starts the bridge at once.
        m_home->discovery.stopSearching();
        m_home->discover(speakerAt("127.0.0.2", "Kitchen", "uuid:RINCON_A"));
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
    }

    // The delays' cap, a stable run and the window's edges, which the crashes
    // above cannot reach in a test's time.
    void restartPolicy()
    {
        RestartPolicy policy({2000ms, 6000ms, 300000ms, 5, 600000ms});
        QList<int> delays;
        const auto end = [&](qint64 started, qint64 now) {
            const auto delay = policy.onUnexpectedEnd(started, now);
            delays.append(delay ? int(delay->count()) : -1);
        };
        for (const qint64 now : {1000, 2000, 3000})
            end(now - 1000, now);
        // Five minutes up start the delays over, but the earlier ends still count.
        end(3000, 303000);
        end(303000, 304000);
        QCOMPARE(delays, QList<int>({2000, 4000, 6000, 2000, -1}));
        policy.reset();
        delays.clear();
        for (const qint64 now : {1000, 2000, 3000, 4000, 601000}) // the first has left the window
            end(now - 1000, now);
        QCOMPARE(delays, QList<int>({2000, 4000, 6000, 6000, 6000}));
    }
};

QTEST_GUILESS_MAIN(TestBridgeController)
#include "tst_BridgeController.moc"
