// Runs inside a private session bus (dbus-run-session, see CMakeLists.txt).
// Each role (Corvane, the helper, a stranger, a listener) is a connection of
// its own, so the bus sees them as separate programs.
#include "launcher/AppDelegate.h"
#include "log/Logging.h"
#include "platform/InstanceLock.h"
#include "platform/Launcher.h"
#include "platform/SessionBus.h"

#include "Version.h"

#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString appId = QLatin1String(corvane::kAppId);
const QString helperId = QLatin1String(corvane::kHelperId);

struct Captured {
    Logging::Level level;
    Logging::Category category;
    QString message;
};

QDBusMessage killLauncherSignal(const QVariantList& arguments)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(QLatin1String(SessionBus::killLauncherPath),
                                   QLatin1String(SessionBus::killLauncherInterface),
                                   QLatin1String(SessionBus::killLauncherMember));
    signal.setArguments(arguments);
    return signal;
}

} // namespace

class TestLauncher : public QObject {
    Q_OBJECT
private:
    QStringList m_connectionNames;
    int m_connectionCount = 0; // names are never reused, not even across tests
    std::vector<Captured> m_log;

    // A new connection to the private bus: one more program, as the bus sees it.
    QDBusConnection openConnection(const QString& role)
    {
        const QString name = role + QString::number(++m_connectionCount);
        m_connectionNames << name;
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    }

    int logCount(const QString& message) const
    {
        return int(std::count_if(m_log.begin(), m_log.end(),
                                 [&](const Captured& c) { return c.message == message; }));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"),
                 "run inside dbus-run-session");
    }

    void init()
    {
        m_log.clear();
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            m_log.push_back({level, category, message});
        });
    }

    void cleanup()
    {
        Logging::setReceiver({});
        // Closing a connection releases its names before the next test.
        for (const QString& name : std::as_const(m_connectionNames))
            QDBusConnection::disconnectFromBus(name);
        m_connectionNames.clear();
    }

    void nameOwnership()
    {
        SessionBus corvane(openConnection(QStringLiteral("corvane")));
        SessionBus other(openConnection(QStringLiteral("other")));
        QVERIFY(corvane.isConnected());
        QVERIFY(!other.nameHasOwner(appId));
        QCOMPARE(other.nameOwner(appId), QString());

        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        QCOMPARE(other.registerName(appId), SessionBus::NameRequest::Taken);
        QVERIFY(other.nameHasOwner(appId));
        QCOMPARE(other.nameOwner(appId), corvane.connection().baseService());
    }

    void noBus()
    {
        SessionBus bus{QDBusConnection(QStringLiteral("never-opened"))};
        QVERIFY(!bus.isConnected());
        QCOMPARE(bus.registerName(appId), SessionBus::NameRequest::Failed);
        QVERIFY(!bus.nameHasOwner(appId));
        QVERIFY(!bus.emitKillLauncher(appId));
        QVERIFY(!bus.subscribeKillLauncher(appId, appId));
        QVERIFY(!Launcher::stopLauncherIfRunning(bus));
        QVERIFY(m_log.empty());

        // No address and no $XDG_RUNTIME_DIR/bus: no connection, and no
        // autolaunched bus daemon either.
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        QTemporaryDir emptyRuntime;
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(emptyRuntime.path()));
        const bool connected = SessionBus::defaultConnection().isConnected();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        runtime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", runtime);
        QVERIFY(!connected);
    }

    void killLauncherFilter_data()
    {
        QTest::addColumn<bool>("fromOwner");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<bool>("accepted");

        QTest::newRow("Corvane, its identifier") << true << QVariantList{appId} << true;
        QTest::newRow("Corvane, another object")
            << true << QVariantList{QStringLiteral("org.example.Other")} << false;
        QTest::newRow("Corvane, identifier in other case")
            << true << QVariantList{QStringLiteral("org.corvane.corvane")} << false;
        QTest::newRow("Corvane, no object") << true << QVariantList{} << false;
        QTest::newRow("Corvane, number as object") << true << QVariantList{42} << false;
        QTest::newRow("Corvane, extra argument")
            << true << QVariantList{appId, QStringLiteral("x")} << false;
        QTest::newRow("stranger, Corvane's identifier") << false << QVariantList{appId} << false;
    }

    void killLauncherFilter()
    {
        QFETCH(bool, fromOwner);
        QFETCH(QVariantList, arguments);
        QFETCH(bool, accepted);

        SessionBus corvane(openConnection(QStringLiteral("corvane")));
        SessionBus stranger(openConnection(QStringLiteral("stranger")));
        SessionBus listener(openConnection(QStringLiteral("listener")));
        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        QVERIFY(listener.subscribeKillLauncher(appId, appId));
        QSignalSpy kill(&listener, &SessionBus::killLauncher);
        QSignalSpy ignored(&listener, &SessionBus::killLauncherIgnored);

        const SessionBus& sender = fromOwner ? corvane : stranger;
        QVERIFY(sender.connection().send(killLauncherSignal(arguments)));
        QTRY_COMPARE(kill.count() + ignored.count(), 1);
        QCOMPARE(kill.count(), accepted ? 1 : 0);
    }

    void stopLauncherIfRunning_data()
    {
        QTest::addColumn<bool>("helperRunning");
        QTest::newRow("helper running") << true;
        QTest::newRow("no helper") << false;
    }

    void stopLauncherIfRunning()
    {
        QFETCH(bool, helperRunning);
        SessionBus corvane(openConnection(QStringLiteral("corvane")));
        SessionBus helper(openConnection(QStringLiteral("helper")));
        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        if (helperRunning)
            QCOMPARE(helper.registerName(helperId), SessionBus::NameRequest::Owned);
        QVERIFY(helper.subscribeKillLauncher(appId, appId));
        QSignalSpy kill(&helper, &SessionBus::killLauncher);
        QSignalSpy ignored(&helper, &SessionBus::killLauncherIgnored);

        QCOMPARE(Launcher::stopLauncherIfRunning(corvane), helperRunning);
        // A later signal from the same sender arrives after anything the call
        // sent, so once it is in, the count is final.
        QVERIFY(corvane.emitKillLauncher(QStringLiteral("sentinel")));
        QTRY_COMPARE(ignored.count(), 1);
        QCOMPARE(kill.count(), helperRunning ? 1 : 0);
        QCOMPARE(logCount(QStringLiteral("Stopping launcher app")), helperRunning ? 1 : 0);
        if (helperRunning) {
            QCOMPARE(m_log.front().level, Logging::Level::Info);
            QCOMPARE(m_log.front().category, Logging::Category());
        }
    }

    void programPaths_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("main");
        QTest::addColumn<bool>("reversible");

        QTest::newRow("/usr") << "/usr/libexec/corvane/corvane-helper"
                              << "/usr/bin/corvane" << true;
        QTest::newRow("spaces") << "/opt/My Apps/libexec/corvane/corvane-helper"
                                << "/opt/My Apps/bin/corvane" << true;
        QTest::newRow("root prefix") << "/libexec/corvane/corvane-helper"
                                     << "/bin/corvane" << true;
        QTest::newRow("short path ends at the root") << "/x/corvane-helper"
                                                     << "/bin/corvane" << false;
    }

    void programPaths()
    {
        QFETCH(QString, helper);
        QFETCH(QString, main);
        QFETCH(bool, reversible);
        QCOMPARE(Launcher::mainProgramPath(helper), main);
        if (reversible)
            QCOMPARE(Launcher::helperProgramPath(main), helper);
    }

    void instanceLock()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("run/corvane.lock"));
        InstanceLock corvane(path);
        QVERIFY(!corvane.isHeld());
        QVERIFY(corvane.tryLock());
        QVERIFY(corvane.isHeld());
        InstanceLock second(path);
        QVERIFY(!second.tryLock());
        QFile lockFile(path);
        QVERIFY(lockFile.open(QIODevice::ReadOnly));
        QByteArrayList lines = lockFile.readAll().split('\n');
        lockFile.close();
        corvane.unlock();
        QVERIFY(!QFile::exists(path));
        QVERIFY(!corvane.isHeld());

        // The same lock, left by a process that has gone: not held, and broken.
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForStarted());
        lines[0] = QByteArray::number(gone.processId());
        QVERIFY(gone.waitForFinished());
        QVERIFY(lockFile.open(QIODevice::WriteOnly));
        lockFile.write(lines.join('\n'));
        lockFile.close();
        QVERIFY(!corvane.isHeld());
        QVERIFY(second.tryLock());

        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
        const QString defaultPath = InstanceLock::defaultPath();
        runtime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", runtime);
        QCOMPARE(defaultPath, dir.path() + QStringLiteral("/org.corvane.Corvane.lock"));
    }

    void helperQuitsWhenCorvaneRuns()
    {
        SessionBus corvane(openConnection(QStringLiteral("corvane")));
        SessionBus bus(openConnection(QStringLiteral("helper")));
        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        launcher::AppDelegate helper(bus, QStringLiteral("/p/libexec/corvane/corvane-helper"),
                                     QString());
        QStringList launches;
        helper.setLaunchFunction([&](const QString& program) {
            launches << program;
            return true;
        });
        QSignalSpy terminate(&helper, &launcher::AppDelegate::terminateRequested);
        helper.applicationDidFinishLaunching();
        QCOMPARE(terminate.count(), 1);
        QVERIFY(launches.isEmpty());
        QVERIFY(!bus.isSubscribed());
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_Launcher.moc"
