#include "bridge/AirConnect.h"
#include "bridge/LeftoverBridges.h"
#include "log/Logging.h"
#include "platform/UserTempDir.h"
#include "support/FileSizeLimit.h"
#include "support/TestData.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace std::chrono_literals;
using Level = Logging::Level;

namespace {

// Whether a fake bridge has got as far as ignoring SIGTERM.
bool ignoresSigterm(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray status = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const qsizetype at = status.indexOf("\nSigIgn:\t") + 9;
    return at > 8 && (status.mid(at, 16).toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
}

} // namespace

class TestAirConnect : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QMap<Level, QStringList> m_log;
    std::unique_ptr<QSignalSpy> m_started, m_ready, m_terminated;

    static QString fake(const QString& name) { return TEST_SUPPORT_DIR "/fake-bridge-" + name; }
    QString config() const { return m_dir->filePath("airupnp.xml"); }
    bool logged(Level at, const QString& text) { return !m_log.value(at).filter(text).isEmpty(); }
    AirConnect::Options options(const QString& name, std::chrono::milliseconds watchdog = 10s)
    {
        return {fake(name), config(), watchdog, 300ms, 300ms};
    }
    void spyOn(AirConnect& airConnect)
    {
        m_started = std::make_unique<QSignalSpy>(&airConnect, &AirConnect::serviceStarted);
        m_ready = std::make_unique<QSignalSpy>(&airConnect, &AirConnect::serviceReady);
        m_terminated = std::make_unique<QSignalSpy>(&airConnect, &AirConnect::serviceTerminated);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_log.clear();
        Logging::setThreshold(Level::Verbose);
        Logging::setReceiver([this](Level level, auto& category, const QString& message) {
            if (category == QStringLiteral("AirConnect"))
                m_log[level].append(message);
        });
    }

    void cleanup()
    {
        // Each test has ended its supervisor: no bridge of it may be left.
        QTRY_COMPARE_WITH_TIMEOUT(QProcess::execute("pgrep", {"-f", m_dir->path()}), 1, 3000);
        Logging::setReceiver({});
    }

    void runsBridgeWithExactConfigUntilStopped()
    {
        DeviceSettings den{"Tom & Jerry's \"<Den>\"", {}, DeviceTopology(true, "G:0"), true};
        den.info.udn = "uuid:RINCON_B01400";
        // A group member: not bridged.
        DeviceSettings kitchen{"K\u00fcche \u266b", {}, DeviceTopology(false, "G:0"), true};
        kitchen.info.udn = "uuid:RINCON_K01400";

        QProcess leftover; // an earlier run's: it ends on SIGTERM, so it is not killed
        leftover.start(fake("ready"), {"-Z", "-x", config()});
        QVERIFY(leftover.waitForStarted());

        // Opened the careless way: without O_CLOEXEC it would be inherited.
        const QString ours = m_dir->filePath("ours");
        const int inheritable = ::open(QFile::encodeName(ours), O_CREAT | O_RDWR, 0600);
        QVERIFY(inheritable > 2);

        AirConnect airConnect(options("ready"));
        spyOn(airConnect);
        airConnect.start({den, kitchen});
        ::close(inheritable);
        QCOMPARE(m_log.value(Level::Info),
                 QStringList({"Ending bridge left by an earlier run: " +
                                  QString::number(leftover.processId()),
                              "Wrote config file to file://" + config()}));
        QFile file(config());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), testData("bridge/den-and-kitchen.xml"));
        QCOMPARE(QFile::permissions(config()),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

        QTRY_COMPARE(m_started->count(), 1);
        QTRY_VERIFY(airConnect.isReady() && !airConnect.isWatchdogPending());
        QVERIFY(logged(Level::Debug, "arguments: -Z -x " + config()));
        QCOMPARE(::getpriority(PRIO_PROCESS, id_t(airConnect.processId())), 10);
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(airConnect.processId()));
        for (const QFileInfo& fd : fds.entryInfoList(QDir::Files | QDir::System))
            QVERIFY2(fd.symLinkTarget() != ours, qPrintable(fd.fileName()));
        // A second renderer makes no second "serviceReady".
        QTRY_VERIFY(logged(Level::Debug, "adding renderer (Office)"));
        QCOMPARE(m_ready->count(), 1);

        airConnect.stop();
        QVERIFY(!airConnect.isRunning() && !airConnect.isReady());
        QCOMPARE(m_terminated->count(), 0); // posted once it has actually ended
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(m_log.value(Level::Info).last(), "Terminated");
        QVERIFY(!m_log.contains(Level::Error) && !m_log.contains(Level::Warning));
    }

    // A new start replaces the run ("restart"): the watchdog restarts for the
    // new run, and what the replaced one prints while it ends counts for nothing.
    void watchdogEndsBridgeThatNeverGetsReady_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("restart");
        QTest::addColumn<QStringList>("output"); // as logged: blank and invalid chunks dropped
        const QString start = "[10:56:24.100] main:1400 Starting airupnp version: fake";
        const QString marker = "[10:56:26.900] AddMRDevice:1020 [0x7f6294a90010]: adding ren";
        QTest::newRow("silent") << "never-ready" << false << QStringList{start};
        QTest::newRow("exits early")
            << "exits" << false << QStringList{start, "[10:56:24.300] main:1450 Cannot start"};
        QTest::newRow("marker split across two chunks")
            << "split-marker" << false
            << QStringList{marker, "derer (Kitchen) with mac BBBB1FE1E692"};
        QTest::newRow("marker not valid UTF-8")
            << "invalid-utf8" << false << QStringList{"[10:56:27.200] main:1500 still running"};
        QTest::newRow("restart: watchdog re-armed") << "never-ready" << true << QStringList();
        QTest::newRow("restart: marker from the replaced run")
            << "late-marker" << true << QStringList();
    }

    // The watchdog leaves room for the interpreter of the fake bridge to start on a busy machine.
    void watchdogEndsBridgeThatNeverGetsReady()
    {
        QFETCH(QString, name);
        QFETCH(bool, restart);
        QFETCH(QStringList, output);
        AirConnect airConnect(options(name, 2000ms));
        spyOn(airConnect);
        QElapsedTimer sinceStart;
        sinceStart.start();
        airConnect.start({});
        if (restart) {
            QTRY_VERIFY(logged(Level::Debug, "Starting airupnp version: fake"));
            QTest::qWait(500); // so a watchdog still counting from the first start fires early
            sinceStart.start();
            airConnect.start({}); // no stop in between
            QTRY_VERIFY(logged(Level::Debug, "An earlier airupnp run ended"));
        }
        QTRY_COMPARE(m_log.value(Level::Error),
                     QStringList{"airupnp is not in a usable state, terminating"});
        QVERIFY2(sinceStart.elapsed() >= 1900, qPrintable(QString::number(sinceStart.elapsed())));
        QTRY_VERIFY(airConnect.livingProcessIds().isEmpty());
        QCOMPARE(m_terminated->count(), 1); // exits early: no second report
        if (!restart)
            QCOMPARE(m_log.value(Level::Debug), output);
    }

    // Bridges that ignore SIGTERM: one left by an earlier run of ours is killed
    // at start and one run by hand is left alone; a stopped one is killed and
    // its late end is not the new run's end; quit waits, kills, and only then
    // returns: nothing of ours outlives it.
    void stubbornBridgesAreKilled()
    {
        QProcess leftover, byHand; // byHand: the same bridge with another config file
        leftover.start(fake("ignores-term"), {"-Z", "-x", config()});
        byHand.start(fake("ignores-term"), {"-Z", "-x", m_dir->filePath("other.xml")});
        QTRY_VERIFY(ignoresSigterm(leftover.processId()) && ignoresSigterm(byHand.processId()));
        const pid_t ours = pid_t(leftover.processId()), notOurs = pid_t(byHand.processId());

        AirConnect airConnect(options("ignores-term"));
        spyOn(airConnect);
        airConnect.start({});
        QVERIFY(LeftoverBridges::isGone(ours) && !LeftoverBridges::isGone(notOurs));
        QTRY_VERIFY(ignoresSigterm(airConnect.processId()));
        airConnect.stop();
        QVERIFY(!airConnect.isWatchdogPending());
        airConnect.start({}); // while the stopped one still runs: no leftover
        const qint64 newer = airConnect.processId();
        QTRY_VERIFY(logged(Level::Debug, "An earlier airupnp run ended"));
        QCOMPARE(m_log.value(Level::Warning),
                 QStringList({"Killed bridge left by an earlier run: " + QString::number(ours),
                              "airupnp did not end after SIGTERM, killing it"}));
        QVERIFY(airConnect.processId() == newer && m_terminated->count() == 0);

        QTRY_VERIFY(ignoresSigterm(newer));
        QElapsedTimer waited;
        waited.start();
        QVERIFY(!airConnect.stopAndWait(200));
        QVERIFY(waited.elapsed() >= 190);
        QVERIFY(LeftoverBridges::isGone(pid_t(newer)) && airConnect.livingProcessIds().isEmpty());
        QCOMPARE(m_terminated->count(), 1); // it has ended
    }

    // A start that cannot launch the bridge returns to stopped at once. A
    // config that cannot be written, with no earlier one to fall back on,
    // would leave the bridge to offer every renderer it finds.
    void failedStartReturnsToStopped_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("error"); // how the launch error ends
        QTest::newRow("exec fails") << "unlaunchable"
                                    << " - ";
        QTest::newRow("no such file") << "missing"
                                      << " - not found or not executable";
        QTest::newRow("unwritable config, first run") << "ready"
                                                      << " - no config file";
    }

    void failedStartReturnsToStopped()
    {
        QFETCH(QString, name);
        QFETCH(QString, error);
        const bool diskFull = name == "ready";
        AirConnect airConnect(options(name));
        spyOn(airConnect);
        {
            const FileSizeLimit full(diskFull ? 16 : RLIM_INFINITY);
            airConnect.start({});
        }
        QTRY_VERIFY(!airConnect.isRunning() && !airConnect.isWatchdogPending());
        QVERIFY(m_started->isEmpty() && m_terminated->count() == 1);
        const QStringList errors = m_log.value(Level::Error);
        QVERIFY2(errors.size() == (diskFull ? 2 : 1) &&
                     errors.last().startsWith("Failed to launch " + fake(name) + error),
                 qPrintable(errors.join('\n')));
        QCOMPARE(QFile::exists(config()), !diskFull);
        if (!diskFull)
            return;
        QVERIFY(errors[0].startsWith("Failed to write config file to file://" + config() + " - "));

        // With an earlier file to fall back on, the bridge is launched with it.
        QFile file(config());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("<airupnp/>") == 10);
        file.close();
        {
            const FileSizeLimit full(16);
            airConnect.start({});
        }
        QTRY_COMPARE(m_started->count(), 1);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "<airupnp/>");
        QVERIFY(airConnect.stopAndWait(2000));
    }

    void privateFolderRefusesPlantedLink()
    {
        QTemporaryDir base;
        const QString folder = base.filePath("corvane");
        QVERIFY(QDir().mkdir(folder) && ::chmod(QFile::encodeName(folder), 0755) == 0);
        QCOMPARE(UserTempDir::ensurePrivateFolder(base.path()), folder);
        QCOMPARE(QFile::permissions(folder), QFile::permissions(base.path())); // 0700 again
        QVERIFY(QDir(folder).removeRecursively() && QFile::link(QDir::tempPath(), folder));
        QCOMPARE(UserTempDir::ensurePrivateFolder(base.path()), QString());
    }
};

QTEST_GUILESS_MAIN(TestAirConnect)
#include "tst_AirConnect.moc"
