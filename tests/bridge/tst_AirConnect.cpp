#include "bridge/AirConnect.h"
#include "bridge/ConfigFile.h"
#include "log/Logging.h"
#include "platform/NotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

struct Captured {
    Logging::Level level;
    Logging::Category category;
    QString message;
};

QString fakeBridge(const char* name)
{
    return QStringLiteral(TEST_SUPPORT_DIR "/") + QLatin1String(name);
}

QByteArray procFile(qint64 pid, const char* entry)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Alive and not a zombie.
bool isAlive(qint64 pid)
{
    const QByteArray stat = procFile(pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z';
}

// Processes, alive and not zombies, whose command line mentions text.
QList<qint64> processesMentioning(const QString& text)
{
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool isNumber = false;
        const qint64 pid = entry.toLongLong(&isNumber);
        if (isNumber && pid != ::getpid() && isAlive(pid) &&
            QString::fromLocal8Bit(procFile(pid, "cmdline")).contains(text))
            found.append(pid);
    }
    return found;
}

int niceness(qint64 pid)
{
    const QByteArray stat = procFile(pid, "stat");
    // Field 19 counted from the state, which is field 3.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 16 ? fields.at(16).toInt() : -100;
}

bool ignoresSigterm(qint64 pid)
{
    for (const QByteArray& line : procFile(pid, "status").split('\n'))
        if (line.startsWith("SigIgn:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

DeviceSettings kitchen()
{
    DeviceSettings settings;
    settings.name = QStringLiteral("Kitchen");
    settings.info =
        DeviceInfo(QUrl(QStringLiteral("http://127.0.0.1:1400/xml/device_description.xml")));
    settings.info.udn = QStringLiteral("uuid:RINCON_A01400");
    settings.topology = DeviceTopology(true, QStringLiteral("RINCON_A01400:0"));
    settings.active = true;
    return settings;
}

} // namespace

class TestAirConnect : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QList<Captured> m_log;
    std::unique_ptr<QSignalSpy> m_started, m_ready, m_terminated;
    QList<qint64> m_detached;

    AirConnect::Options options(const char* script, std::chrono::milliseconds watchdog = 10s)
    {
        AirConnect::Options options;
        options.bridgePath = fakeBridge(script);
        options.configPath = m_dir->filePath(QStringLiteral("airupnp.xml"));
        options.watchdogInterval = watchdog;
        options.killTimeout = 300ms;
        options.leftoverWait = 300ms;
        return options;
    }

    QStringList messages(Logging::Level level) const
    {
        QStringList found;
        for (const Captured& entry : m_log)
            if (entry.level == level && entry.category == QStringLiteral("AirConnect"))
                found.append(entry.message);
        return found;
    }

    bool logContains(Logging::Level level, const QString& text) const
    {
        for (const QString& message : messages(level))
            if (message.contains(text))
                return true;
        return false;
    }

    // A bridge as an earlier run of Corvane would have left it.
    qint64 startDetached(const char* script, const QString& config)
    {
        QProcess process;
        process.setProgram(fakeBridge(script));
        process.setArguments({QStringLiteral("-Z"), QStringLiteral("-x"), config});
        process.setStandardErrorFile(QProcess::nullDevice());
        qint64 pid = 0;
        if (process.startDetached(&pid))
            m_detached.append(pid);
        return pid;
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_log.clear();
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            m_log.append({level, category, message});
        });
        NotificationCenter& center = NotificationCenter::shared();
        m_started = std::make_unique<QSignalSpy>(&center, &NotificationCenter::serviceStarted);
        m_ready = std::make_unique<QSignalSpy>(&center, &NotificationCenter::serviceReady);
        m_terminated =
            std::make_unique<QSignalSpy>(&center, &NotificationCenter::serviceTerminated);
    }

    void cleanup()
    {
        for (const qint64 pid : std::as_const(m_detached))
            ::kill(pid_t(pid), SIGKILL);
        m_detached.clear();
        // Every test ends its supervisor; no bridge of the test may be left.
        QTRY_COMPARE_WITH_TIMEOUT(processesMentioning(m_dir->path()), QList<qint64>(), 3000);
        Logging::setReceiver({});
    }

    void runsBridgeUntilStopped()
    {
        AirConnect airConnect(options("fake-bridge-ready"));
        const QList<DeviceSettings> devices{kitchen()};
        airConnect.start(devices);
        QVERIFY(airConnect.isRunning());
        QVERIFY(airConnect.isWatchdogPending());
        const QString config = m_dir->filePath(QStringLiteral("airupnp.xml"));
        QCOMPARE(messages(Logging::Level::Info),
                 QStringList{QStringLiteral("Wrote config file to file://") + config});
        QFile file(config);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), configText(devices));

        QTRY_COMPARE(m_started->count(), 1);
        QTRY_COMPARE(m_ready->count(), 1);
        QVERIFY(airConnect.isReady());
        QVERIFY(!airConnect.isWatchdogPending());
        // Command line and priority as the child sees them.
        QVERIFY(logContains(Logging::Level::Debug, QStringLiteral("arguments: -Z -x ") + config));
        QCOMPARE(niceness(airConnect.processId()), 10);
        // A second renderer is logged but makes no second "serviceReady".
        QTRY_VERIFY(logContains(Logging::Level::Debug, QStringLiteral("adding renderer (Office)")));
        QCOMPARE(m_ready->count(), 1);

        const qint64 pid = airConnect.processId();
        airConnect.stop();
        QVERIFY(!airConnect.isRunning());
        QVERIFY(!airConnect.isReady());
        QCOMPARE(m_terminated->count(), 0); // posted once it has actually ended
        QTRY_COMPARE(m_terminated->count(), 1);
        QVERIFY(!isAlive(pid));
        QCOMPARE(messages(Logging::Level::Info).last(), QStringLiteral("Terminated"));
        QVERIFY(messages(Logging::Level::Error).isEmpty());
        QVERIFY(messages(Logging::Level::Warning).isEmpty());
    }

    void watchdogEndsBridgeThatNeverGetsReady()
    {
        AirConnect airConnect(options("fake-bridge-never-ready", 400ms));
        airConnect.start({kitchen()});
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(m_ready->count(), 0);
        QCOMPARE(messages(Logging::Level::Error),
                 QStringList{QStringLiteral("airupnp is not in a usable state, terminating")});
        QVERIFY(!airConnect.isRunning());
        // The blank output chunk left no entry.
        const QStringList debug = messages(Logging::Level::Debug);
        QVERIFY(!debug.isEmpty());
        for (const QString& line : debug)
            QVERIFY2(!line.trimmed().isEmpty() && line == line.trimmed(), qPrintable(line));
    }

    void stopWhileStartingCancelsWatchdog()
    {
        AirConnect airConnect(options("fake-bridge-never-ready", 300ms));
        airConnect.start({kitchen()});
        airConnect.stop();
        QVERIFY(!airConnect.isWatchdogPending());
        QTRY_COMPARE(m_terminated->count(), 1);
        QTest::qWait(400);
        QVERIFY(messages(Logging::Level::Error).isEmpty());

        // Stopping again changes nothing and posts nothing.
        airConnect.stop();
        QTest::qWait(50);
        QCOMPARE(m_terminated->count(), 1);
    }

    void bridgeThatExitsIsReportedOnce()
    {
        AirConnect airConnect(options("fake-bridge-exits", 800ms));
        airConnect.start({kitchen()});
        QTRY_COMPARE(m_terminated->count(), 1);
        QVERIFY(!airConnect.isRunning());
        QVERIFY(logContains(Logging::Level::Debug, QStringLiteral("Cannot start")));
        QCOMPARE(messages(Logging::Level::Info).last(), QStringLiteral("Terminated"));
        // The watchdog still fires, says so, and finds nothing to stop.
        QVERIFY(airConnect.isWatchdogPending());
        QTRY_COMPARE(messages(Logging::Level::Error).size(), 1);
        QTest::qWait(50);
        QCOMPARE(m_terminated->count(), 1);
        QCOMPARE(m_started->count(), 1);
    }

    void lateReportOfOlderRunIsIgnored()
    {
        AirConnect airConnect(options("fake-bridge-never-ready"));
        airConnect.start({kitchen()});
        QTRY_VERIFY(airConnect.processId() > 0);
        const qint64 older = airConnect.processId();
        airConnect.stop();
        airConnect.start({kitchen()}); // before the older one has ended
        const qint64 newer = airConnect.processId();
        QVERIFY(newer != older);

        QTRY_VERIFY(
            logContains(Logging::Level::Debug, QStringLiteral("An earlier airupnp run ended")));
        QVERIFY(!isAlive(older));
        QVERIFY(airConnect.isRunning());
        QCOMPARE(airConnect.processId(), newer);
        QCOMPARE(m_terminated->count(), 0);
        QVERIFY(!messages(Logging::Level::Info).contains(QStringLiteral("Terminated")));

        airConnect.stop();
        QTRY_COMPARE(m_terminated->count(), 1);
    }

    void bridgeIgnoringSigtermIsKilled()
    {
        AirConnect airConnect(options("fake-bridge-ignores-term"));
        airConnect.start({kitchen()});
        QTRY_VERIFY(airConnect.processId() > 0 && ignoresSigterm(airConnect.processId()));
        airConnect.stop();
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(messages(Logging::Level::Warning),
                 QStringList{QStringLiteral("airupnp did not end after SIGTERM, killing it")});
    }

    void stopAndWaitEndsEveryBridge()
    {
        AirConnect polite(options("fake-bridge-ready"));
        polite.start({kitchen()});
        QTRY_COMPARE(m_started->count(), 1);
        QVERIFY(polite.stopAndWait(5000));
        QCOMPARE(m_terminated->count(), 1);
        QVERIFY(polite.livingProcessIds().isEmpty());

        AirConnect stubborn(options("fake-bridge-ignores-term"));
        stubborn.start({kitchen()});
        QTRY_VERIFY(stubborn.processId() > 0 && ignoresSigterm(stubborn.processId()));
        const qint64 pid = stubborn.processId();
        QVERIFY(!stubborn.stopAndWait(200));
        QVERIFY(!isAlive(pid));
        QVERIFY(stubborn.livingProcessIds().isEmpty());
    }

    void markerMustArriveWholeAndValid_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("split across two chunks") << "fake-bridge-split-marker"
                                                 << "derer (Kitchen)";
        QTest::newRow("chunk not valid UTF-8") << "fake-bridge-invalid-utf8"
                                               << "still running";
    }

    void markerMustArriveWholeAndValid()
    {
        QFETCH(QString, script);
        QFETCH(QString, lastLine);
        AirConnect airConnect(options(script.toUtf8().constData()));
        airConnect.start({kitchen()});
        QTRY_VERIFY(logContains(Logging::Level::Debug, lastLine));
        QCOMPARE(m_ready->count(), 0);
        QVERIFY(!airConnect.isReady());
        QVERIFY(airConnect.isWatchdogPending());
        QVERIFY(!logContains(Logging::Level::Debug, QStringLiteral("adding renderer")));
    }

    void launchFailureReturnsToStopped_data()
    {
        QTest::addColumn<QString>("bridge");
        QTest::addColumn<QString>("reason");
        QTest::newRow("exec fails") << fakeBridge("fake-bridge-unlaunchable") << " - ";
        QTest::newRow("missing") << fakeBridge("fake-bridge-missing") << " - not found";
    }

    void launchFailureReturnsToStopped()
    {
        QFETCH(QString, bridge);
        QFETCH(QString, reason);
        AirConnect::Options settings = options("fake-bridge-ready");
        settings.bridgePath = bridge;
        AirConnect airConnect(settings);
        airConnect.start({kitchen()});
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(m_started->count(), 0);
        QVERIFY(!airConnect.isRunning());
        QVERIFY(!airConnect.isWatchdogPending());
        const QStringList errors = messages(Logging::Level::Error);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.first().startsWith(QStringLiteral("Failed to launch ") + bridge + reason),
                 qPrintable(errors.first()));
        // Still written: the next start will need it anyway.
        QVERIFY(QFile::exists(m_dir->filePath(QStringLiteral("airupnp.xml"))));
    }

    void startEndsOnlyOurLeftoverBridges()
    {
        const QString config = m_dir->filePath(QStringLiteral("airupnp.xml"));
        const qint64 leftover = startDetached("fake-bridge-ignores-term", config);
        const qint64 byHand =
            startDetached("fake-bridge-ignores-term", m_dir->filePath(QStringLiteral("other.xml")));
        QVERIFY(leftover > 0 && byHand > 0);
        QTRY_VERIFY(ignoresSigterm(leftover) && ignoresSigterm(byHand));

        AirConnect airConnect(options("fake-bridge-ignores-term"));
        airConnect.start({kitchen()});
        QVERIFY(!isAlive(leftover));
        QVERIFY(isAlive(byHand));
        QVERIFY(logContains(Logging::Level::Warning,
                            QStringLiteral("Killed bridge left by an earlier run: ") +
                                QString::number(leftover)));
        QTRY_VERIFY(airConnect.processId() > 0);
        QVERIFY(isAlive(airConnect.processId()));
    }
};

QTEST_GUILESS_MAIN(TestAirConnect)
#include "tst_AirConnect.moc"
