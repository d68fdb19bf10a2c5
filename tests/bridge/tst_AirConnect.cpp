#include "bridge/AirConnect.h"
#include "bridge/ConfigFile.h"
#include "log/Logging.h"
#include "platform/NotificationCenter.h"
#include "platform/UserTempDir.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Level = Logging::Level;

namespace {

QString fakeBridge(const QString& name)
{
    return QStringLiteral(TEST_SUPPORT_DIR "/") + name;
}

QByteArray procFile(qint64 pid, const char* entry)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(entry)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The fields of /proc/<pid>/stat from the state on (field 3).
QList<QByteArray> statFields(qint64 pid)
{
    const QByteArray stat = procFile(pid, "stat");
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

bool isAlive(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() > 16 && fields[0] != "Z";
}

// Live processes whose command line mentions text: bridges of one test.
QList<qint64> processesMentioning(const QString& text)
{
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const qint64 pid = entry.toLongLong();
        if (pid > 0 && isAlive(pid) &&
            QString::fromLocal8Bit(procFile(pid, "cmdline")).contains(text))
            found.append(pid);
    }
    return found;
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
    QList<std::tuple<Level, QString>> m_log;
    std::unique_ptr<QSignalSpy> m_started, m_ready, m_terminated;
    QList<qint64> m_detached;

    QString config() const { return m_dir->filePath(QStringLiteral("airupnp.xml")); }

    AirConnect::Options options(const QString& script, std::chrono::milliseconds watchdog = 10s)
    {
        return {fakeBridge(script), config(), watchdog, 300ms, 300ms};
    }

    QStringList messages(Level level) const
    {
        QStringList found;
        for (const auto& [entryLevel, message] : m_log)
            if (entryLevel == level)
                found.append(message);
        return found;
    }

    bool logged(Level level, const QString& text) const
    {
        return !messages(level).filter(text).isEmpty();
    }

    // A bridge as an earlier run of Corvane would have left it, installed to ignore SIGTERM.
    qint64 startLeftover(const QString& configPath)
    {
        QProcess process;
        process.setProgram(fakeBridge(QStringLiteral("fake-bridge-ignores-term")));
        process.setArguments({QStringLiteral("-Z"), QStringLiteral("-x"), configPath});
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
        Logging::setThreshold(Level::Verbose);
        Logging::setReceiver(
            [this](Level level, const Logging::Category& category, const QString& message) {
                if (category == QStringLiteral("AirConnect"))
                    m_log.append({level, message});
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
        // Each test has ended its supervisor: no bridge of it may be left.
        QTRY_COMPARE_WITH_TIMEOUT(processesMentioning(m_dir->path()), QList<qint64>(), 3000);
        Logging::setReceiver({});
    }

    void runsBridgeUntilStopped()
    {
        AirConnect airConnect(options(QStringLiteral("fake-bridge-ready")));
        airConnect.start({kitchen()});
        QVERIFY(airConnect.isRunning() && airConnect.isWatchdogPending());
        QCOMPARE(messages(Level::Info),
                 {QStringLiteral("Wrote config file to file://") + config()});
        QFile file(config());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), configText({kitchen()}));

        QTRY_COMPARE(m_started->count(), 1);
        QTRY_COMPARE(m_ready->count(), 1);
        QVERIFY(airConnect.isReady() && !airConnect.isWatchdogPending());
        QVERIFY(logged(Level::Debug, QStringLiteral("arguments: -Z -x ") + config()));
        QCOMPARE(statFields(airConnect.processId()).value(16), "10"); // niceness
        // A second renderer makes no second "serviceReady".
        QTRY_VERIFY(logged(Level::Debug, QStringLiteral("adding renderer (Office)")));
        QCOMPARE(m_ready->count(), 1);

        airConnect.stop();
        QVERIFY(!airConnect.isRunning() && !airConnect.isReady());
        QCOMPARE(m_terminated->count(), 0); // posted once it has actually ended
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(messages(Level::Info).last(), QStringLiteral("Terminated"));
        QVERIFY(messages(Level::Error).isEmpty() && messages(Level::Warning).isEmpty());
    }

    void watchdogEndsBridgeThatNeverGetsReady()
    {
        AirConnect airConnect(options(QStringLiteral("fake-bridge-never-ready"), 400ms));
        airConnect.start({kitchen()});
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(m_ready->count(), 0);
        QCOMPARE(messages(Level::Error),
                 {QStringLiteral("airupnp is not in a usable state, terminating")});
        // The chunk of blank lines left no entry.
        const QStringList debug = messages(Level::Debug);
        QVERIFY(!debug.isEmpty());
        for (const QString& line : debug)
            QVERIFY2(!line.isEmpty() && line == line.trimmed(), qPrintable(line));
    }

    void stopWhileStartingCancelsWatchdog()
    {
        AirConnect airConnect(options(QStringLiteral("fake-bridge-never-ready"), 300ms));
        airConnect.start({kitchen()});
        airConnect.stop();
        QTRY_COMPARE(m_terminated->count(), 1);
        airConnect.stop(); // nothing to stop: posts nothing
        QTest::qWait(400); // past the watchdog's time
        QVERIFY(messages(Level::Error).isEmpty());
        QCOMPARE(m_terminated->count(), 1);
    }

    void bridgeThatExitsIsReportedOnce()
    {
        AirConnect airConnect(options(QStringLiteral("fake-bridge-exits"), 800ms));
        airConnect.start({kitchen()});
        QTRY_COMPARE(m_terminated->count(), 1);
        QVERIFY(!airConnect.isRunning());
        QVERIFY(logged(Level::Debug, QStringLiteral("Cannot start")));
        // The watchdog still fires, says so, and finds nothing to stop.
        QTRY_COMPARE(messages(Level::Error).size(), 1);
        QTest::qWait(50);
        QCOMPARE(m_terminated->count(), 1);
    }

    void lateReportOfOlderRunIsIgnored()
    {
        AirConnect airConnect(options(QStringLiteral("fake-bridge-never-ready")));
        airConnect.start({kitchen()});
        QTRY_VERIFY(airConnect.processId() > 0);
        const qint64 older = airConnect.processId();
        airConnect.stop();
        airConnect.start({kitchen()}); // before the older one has ended
        const qint64 newer = airConnect.processId();

        QTRY_VERIFY(logged(Level::Debug, QStringLiteral("An earlier airupnp run ended")));
        QVERIFY(!isAlive(older));
        QCOMPARE(airConnect.processId(), newer);
        QCOMPARE(m_terminated->count(), 0);
        QVERIFY(!messages(Level::Info).contains(QStringLiteral("Terminated")));
    }

    void bridgeIgnoringSigtermIsKilled()
    {
        AirConnect stopped(options(QStringLiteral("fake-bridge-ignores-term")));
        stopped.start({kitchen()});
        QTRY_VERIFY(ignoresSigterm(stopped.processId()));
        stopped.stop();
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(messages(Level::Warning),
                 {QStringLiteral("airupnp did not end after SIGTERM, killing it")});

        AirConnect quitting(options(QStringLiteral("fake-bridge-ignores-term")));
        quitting.start({kitchen()});
        QTRY_VERIFY(ignoresSigterm(quitting.processId()));
        const qint64 pid = quitting.processId();
        QVERIFY(!quitting.stopAndWait(200));
        QVERIFY(!isAlive(pid));
        QCOMPARE(m_terminated->count(), 2);
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
        AirConnect airConnect(options(script));
        airConnect.start({kitchen()});
        QTRY_VERIFY(logged(Level::Debug, lastLine));
        QVERIFY(!logged(Level::Debug, QStringLiteral("adding renderer")));
        QVERIFY(!airConnect.isReady() && airConnect.isWatchdogPending());
        QCOMPARE(m_ready->count(), 0);
    }

    void launchFailureReturnsToStopped_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("reason");
        QTest::newRow("exec fails") << "fake-bridge-unlaunchable"
                                    << " - ";
        QTest::newRow("missing") << "fake-bridge-missing"
                                 << " - not found";
    }

    void launchFailureReturnsToStopped()
    {
        QFETCH(QString, script);
        QFETCH(QString, reason);
        AirConnect airConnect(options(script));
        airConnect.start({kitchen()});
        QTRY_COMPARE(m_terminated->count(), 1);
        QCOMPARE(m_started->count(), 0);
        QVERIFY(!airConnect.isRunning() && !airConnect.isWatchdogPending());
        const QStringList errors = messages(Level::Error);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(
            errors[0].startsWith(QStringLiteral("Failed to launch ") + fakeBridge(script) + reason),
            qPrintable(errors[0]));
    }

    void startEndsOnlyOurLeftoverBridges()
    {
        const qint64 leftover = startLeftover(config());
        const qint64 byHand = startLeftover(m_dir->filePath(QStringLiteral("other.xml")));
        QTRY_VERIFY(ignoresSigterm(leftover) && ignoresSigterm(byHand));

        AirConnect airConnect(options(QStringLiteral("fake-bridge-ignores-term")));
        airConnect.start({kitchen()});
        QVERIFY(!isAlive(leftover));
        QVERIFY(isAlive(byHand));
        QVERIFY(logged(Level::Warning, QStringLiteral("Killed bridge left by an earlier run: ") +
                                           QString::number(leftover)));
        QVERIFY(airConnect.isRunning());
    }

    void configLivesInPrivateRuntimeFolder()
    {
        QTemporaryDir runtime;
        const QString folder = runtime.filePath(QStringLiteral("corvane"));
        QVERIFY(QDir().mkdir(folder) && ::chmod(QFile::encodeName(folder), 0755) == 0);
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const auto mode = [](const QString& path) {
            struct stat info {};
            return ::lstat(QFile::encodeName(path), &info) == 0 ? info.st_mode & 07777 : 0;
        };

        // An existing folder of ours is made private again.
        QCOMPARE(AirConnect().configPath(), folder + QStringLiteral("/airupnp.xml"));
        QCOMPARE(mode(folder), 0700u);
        // A link planted in our place is refused for a private temporary folder.
        QVERIFY(QDir(folder).removeRecursively() && QFile::link(QDir::tempPath(), folder));
        const QString fallback = UserTempDir::path();
        QVERIFY(!fallback.isEmpty() && !fallback.startsWith(runtime.path()));
        QCOMPARE(mode(fallback), 0700u);

        saved.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", saved);
    }
};

QTEST_GUILESS_MAIN(TestAirConnect)
#include "tst_AirConnect.moc"
