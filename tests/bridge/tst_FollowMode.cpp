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

namespace {

DeviceInfo speaker(const QString& host, const QString& room, const QString& udn)
{
    return speakerAt(host, room, QStringLiteral("uuid:") + udn);
}

ZoneGroupState groups(const QList<QStringList>& members)
{
    ZoneGroupState state;
    for (const QStringList& group : members) {
        ZoneGroupState::Group g{group.first() + QStringLiteral(":1"), group.first(), {}};
        for (const QString& uuid : group)
            g.members.append({uuid});
        state.groups.append(g);
    }
    return state;
}

} // namespace

// Follow mode's policy with a fake bridge and the event sources' signals
// emitted by the test; every delay shortened.
class TestFollowMode : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<Household> m_home;
    std::unique_ptr<BridgeController> m_controller;
    std::unique_ptr<LogCapture> m_log;

    void discover(const DeviceInfo& info, bool coordinator = true)
    {
        m_home->discover(info, coordinator);
    }
    int count(const QString& prefix) const
    {
        return int(std::count_if(m_log->lines.begin(), m_log->lines.end(), [&](const auto& line) {
            return std::get<2>(line).startsWith(prefix);
        }));
    }
    QString config() const { return m_home->config(); }
    // Launches in follow mode with one speaker and waits for the running bridge.
    void runWith(const DeviceInfo& info)
    {
        m_controller->setFollowChanges(true);
        discover(info);
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

    void offChangesNothing()
    {
        discover(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        emit m_home->discovery.discoveryComplete();
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QVERIFY(!m_controller->announcements()); // no socket, no watchers
        QVERIFY(!m_home->settings.followChanges);
        discover(speaker("127.0.0.3", "Pantry", "RINCON_B"));
        ::kill(pid_t(m_home->bridge.processId()), SIGKILL);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));
        QTest::qWait(300);
        QVERIFY(!m_home->bridge.isRunning());
        QCOMPARE(count("Restarting AirConnect"), 0);
    }

    void changesRestartOnceAfterSettling()
    {
        const DeviceInfo kitchen = speaker("127.0.0.2", "Kitchen", "RINCON_A");
        runWith(kitchen);
        QVERIFY(Settings(m_home->store).followChanges); // saved
        const qint64 first = m_home->bridge.processId();

        // A re-announcement that changes nothing restarts nothing.
        discover(kitchen);
        QTest::qWait(300);
        QCOMPARE(m_home->bridge.processId(), first);

        // A speaker found later and a rename in one burst: one restart.
        discover(speaker("127.0.0.3", "Pantry", "RINCON_B"));
        DeviceSettings record = *m_home->settings.device(kitchen.location);
        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        m_home->settings.setDevice(kitchen.location, record);
        m_controller->deviceSettingsChanged();
        QTRY_COMPARE(count("Restarting AirConnect: "), 1);
        QCOMPARE(count("Restarting AirConnect: Pantry - One found, settings changed"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QVERIFY(m_home->bridge.processId() != first);
        QVERIFY(config().contains("<name>Chef</name>") && config().contains("<name>Pantry - One"));
        QTest::qWait(300);
        QCOMPARE(count("Restarting AirConnect: "), 1);
    }

    // A speaker at a new address keeps one record and one configuration entry.
    void addressMoveKeepsOneEntry()
    {
        runWith(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        DeviceSettings record = m_home->settings.devices().first();
        record.name = QStringLiteral("Chef");
        record.nameChanged = true;
        record.enabled = false;
        m_home->settings.setDevice(record.info.location, record);

        discover(speaker("127.0.0.9", "Kitchen", "RINCON_A"));
        QCOMPARE(m_home->settings.deviceCount(), 1);
        QTRY_COMPARE(count("Restarting AirConnect: Chef moved"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QCOMPARE(config().count("<udn>uuid:RINCON_A</udn>"), 1);
        QVERIFY(config().contains("<name>Chef</name>"));
        const DeviceSettings moved = m_home->settings.devices().first();
        QVERIFY(moved.nameChanged && !moved.enabled && moved.active);
    }

    // One entry per UDN, also for a table that holds two records of one speaker.
    void oneEntryPerSpeaker()
    {
        DeviceSettings stale = mergeDiscovered(
            std::nullopt, speaker("127.0.0.5", "Attic", "RINCON_A"), DeviceTopology(true, "G"));
        stale.active = false;
        stale.enabled = false;
        m_home->settings.setDevice(stale.info.location, stale);
        DeviceSettings seen = mergeDiscovered(
            std::nullopt, speaker("127.0.0.6", "Zeta", "RINCON_A"), DeviceTopology(true, "G"));
        m_home->settings.setDevice(seen.info.location, seen);
        const QList<DeviceSettings> records = m_controller->bridgeRecords();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().info.location, seen.info.location);
    }

    void groupChangeRestartsOnce()
    {
        runWith(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        // A group member: written disabled, which is a change all the same.
        discover(speaker("127.0.0.3", "Den", "RINCON_B"), false);
        QTRY_COMPARE(count("Restarting AirConnect: Den - One found"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));

        // Kitchen joins Den's new group; the bridge gets Den instead, at once.
        emit m_controller->groupEvents()->groupStateChanged(groups({{"RINCON_B", "RINCON_A"}}));
        QTRY_COMPARE(count("Restarting AirConnect: group change"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        const QList<DeviceSettings> records = m_controller->bridgeRecords();
        QCOMPARE(records.size(), 2);
        for (const DeviceSettings& record : records)
            QCOMPARE(record.isBridged(), record.info.udn == QStringLiteral("uuid:RINCON_B"));
        QTest::qWait(300);
        QCOMPARE(count("Restarting AirConnect: "), 2);
    }

    void announcementsAndGoodbyes()
    {
        runWith(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        discover(speaker("127.0.0.4", "Hall", "RINCON_C"));
        QTRY_COMPARE(count("Restarting AirConnect: Hall - One found"), 1);
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        const qint64 first = m_home->bridge.processId();
        // Goodbye: the speaker leaves the menu, the bridge stays as it is.
        QSignalSpy changed(m_controller.get(), &BridgeController::devicesChanged);
        emit m_controller->announcements()->byebye(QStringLiteral("RINCON_A"));
        QVERIFY(!m_home->settings.device(speaker("127.0.0.2", "", "").location)->active);
        QCOMPARE(changed.size(), 1);
        m_controller->deviceSettingsChanged(); // nothing else changed
        QTest::qWait(300);
        QCOMPARE(m_home->bridge.processId(), first);
        // A new speaker's announcement is fetched (here from nobody), once.
        const QUrl pantry(QStringLiteral("http://127.0.0.3:9/xml/device_description.xml"));
        emit m_controller->announcements()->alive(pantry, QStringLiteral("RINCON_B"));
        emit m_controller->announcements()->alive(pantry, QStringLiteral("RINCON_B"));
        QCOMPARE(count("Fetching announced speaker at " + pantry.toString()), 1);
        // So is the one that said goodbye, once it is back.
        emit m_controller->announcements()->alive(locationOf("127.0.0.2"),
                                                  QStringLiteral("RINCON_A"));
        QCOMPARE(count("Fetching announced speaker at " + locationOf("127.0.0.2").toString()), 1);
    }

    void resumeRestarts()
    {
        runWith(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        const qint64 first = m_home->bridge.processId();
        emit m_controller->resumeWatcher()->resumed();
        QVERIFY(m_home->discovery.isSearching() || count("Restarting AirConnect: resumed") == 0);
        QTRY_COMPARE(count("Restarting AirConnect: resumed from suspend"), 1);
        QVERIFY(m_home->discovery.isSearching());
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        QVERIFY(m_home->bridge.processId() != first);
    }

    void crashesRestartWithGrowingDelaysThenGiveUp()
    {
        runWith(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        for (const int delay : {50, 100, 200, 400}) {
            crashBridge();
            QTRY_COMPARE(count(QStringLiteral("AirConnect ended unexpectedly: restarting it in "
                                              "%1 ms")
                                   .arg(delay)),
                         1);
            if (delay == 400) // a speaker found meanwhile waits for the restart too
                discover(speaker("127.0.0.3", "Pantry", "RINCON_B"));
            QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        }
        QCOMPARE(count("Starting AirConnect: Pantry"), 0);
        crashBridge();
        QTRY_COMPARE(count("AirConnect ended unexpectedly too often"), 1);
        QTest::qWait(600);
        QVERIFY(!m_home->bridge.isRunning());
        QCOMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));

        // Turned on again: afresh.
        m_controller->turnOn();
        m_home->discovery.stopSearching();
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        crashBridge();
        QTRY_COMPARE(count("AirConnect ended unexpectedly: restarting it in 50 ms"), 2);
    }

    void stopsAskedForNeverRestart()
    {
        runWith(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        discover(speaker("127.0.0.5", "Attic", "RINCON_D")); // a restart waits to settle...
        m_controller->stopBridge(); // ...and the window's Stop calls it off
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Stopped"));
        discover(speaker("127.0.0.3", "Pantry", "RINCON_B"));
        QTest::qWait(300);
        QVERIFY(!m_home->bridge.isRunning());

        m_controller->turnOn();
        m_home->discovery.stopSearching();
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
        emit m_controller->resumeWatcher()->resumed(); // its search is called off too
        m_controller->turnOff();
        discover(speaker("127.0.0.4", "Hall", "RINCON_C"));
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
        discover(speaker("127.0.0.2", "Kitchen", "RINCON_A"));
        QTRY_COMPARE(m_controller->status(), QStringLiteral("Corvane: Running"));
    }

    void restartPolicy()
    {
        RestartPolicy policy({2000ms, 60000ms, 300000ms, 5, 600000ms});
        const auto end = [&](qint64 started, qint64 now) {
            const auto delay = policy.onUnexpectedEnd(started, now);
            return delay ? int(delay->count()) : -1;
        };
        QCOMPARE(end(0, 1000), 2000);
        QCOMPARE(end(3000, 4000), 4000);
        QCOMPARE(end(8000, 9000), 8000);
        // A run that stayed up five minutes starts the delays over...
        QCOMPARE(end(10000, 400000), 2000);
        // ...but the ends within ten minutes still count: the fifth gives up.
        QCOMPARE(end(402000, 403000), -1);
        policy.reset();
        QCOMPARE(end(0, 1000), 2000);
        RestartPolicy patient({2000ms, 60000ms, 300000ms, 100, 600000ms});
        QList<int> delays;
        for (int i = 0; i < 7; ++i)
            delays.append(int(patient.onUnexpectedEnd(0, 1000 + i)->count()));
        QCOMPARE(delays, QList<int>({2000, 4000, 8000, 16000, 32000, 60000, 60000}));
        RestartPolicy sparse({2000ms, 60000ms, 300000ms, 5, 600000ms});
        for (int i = 0; i < 8; ++i) // ends further apart than the window never give up
            QVERIFY(sparse.onUnexpectedEnd(0, qint64(i) * 700000));
    }
};

QTEST_GUILESS_MAIN(TestFollowMode)
#include "tst_FollowMode.moc"
