// The real corvane-helper, copied into a temporary tree laid out like an
// installation (with a space in its path), next to a stand-in for corvane.
// Runs inside a private session bus (dbus-run-session, see CMakeLists.txt).
#include "platform/DesktopEntry.h"
#include "platform/InstanceLock.h"
#include "platform/SessionBus.h"
#include "preferences/LaunchOnLogin.h"

#include "Version.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const QString appId = QLatin1String(corvane::kAppId);

constexpr QFileDevice::Permissions executable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

// Records how it was started ($0 is the path the helper executed) and exits.
const QByteArray scriptStandIn = "#!/bin/sh\necho \"$0 $$\" >> \"$CORVANE_TEST_LAUNCH_LOG\"\n";

} // namespace

class TestHelperProgram : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_tree;
    std::unique_ptr<QProcess> m_helper;
    std::unique_ptr<SessionBus> m_corvane; // plays the running Corvane where needed

    QString path(const QString& relative) const { return m_tree->filePath(relative); }
    QString helperPath() const { return path(QStringLiteral("libexec/corvane/corvane-helper")); }
    QString mainPath() const { return path(QStringLiteral("bin/corvane")); }

    void installStandIn(const QByteArray& script)
    {
        QFile file(mainPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(script);
        file.close();
        QVERIFY(file.setPermissions(executable));
    }

    void installProgram(const QString& source, const QString& target)
    {
        QVERIFY(QFile::copy(source, target));
        QVERIFY(QFile::setPermissions(target, executable));
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CORVANE_TEST_LAUNCH_LOG"), path(QStringLiteral("launches.log")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
        return env;
    }

    void startHelper(const QString& program, const QStringList& arguments,
                     const QProcessEnvironment& env)
    {
        m_helper = std::make_unique<QProcess>();
        m_helper->setProcessEnvironment(env);
        m_helper->setProcessChannelMode(QProcess::ForwardedChannels);
        m_helper->start(program, arguments);
        QVERIFY(m_helper->waitForStarted());
    }

    // The programs the helper launched, one path per launch.
    QStringList launches() const
    {
        QFile log(path(QStringLiteral("launches.log")));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        QStringList paths;
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (!line.isEmpty())
                paths << QString::fromUtf8(line.left(line.lastIndexOf(' ')));
        }
        return paths;
    }

    bool helperFinishedCleanly() const
    {
        return m_helper->state() == QProcess::NotRunning &&
               m_helper->exitStatus() == QProcess::NormalExit && m_helper->exitCode() == 0;
    }

    QString runtimeLockPath()
    {
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path(QStringLiteral("run"))));
        const QString lockPath = InstanceLock::defaultPath();
        saved.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", saved);
        return lockPath;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"),
                 "run inside dbus-run-session");
    }

    void init()
    {
        m_tree = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                 QStringLiteral("/corvane tree-XXXXXX"));
        QVERIFY(m_tree->isValid());
        QDir root(m_tree->path());
        QVERIFY(root.mkpath(QStringLiteral("bin")));
        QVERIFY(root.mkpath(QStringLiteral("libexec/corvane")));
        QVERIFY(root.mkpath(QStringLiteral("run")));
        // Qt ignores a runtime directory that is not private.
        QVERIFY(QFile::setPermissions(path(QStringLiteral("run")), executable));
        installProgram(QStringLiteral(HELPER_PROGRAM), helperPath());
    }

    void cleanup()
    {
        if (m_helper && m_helper->state() != QProcess::NotRunning) {
            m_helper->kill();
            m_helper->waitForFinished();
        }
        m_helper.reset();
        m_corvane.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("corvane"));
        // A stand-in still running after a failed test: stop it by its pid,
        // but only when that pid is still our copy of the program.
        QFile log(path(QStringLiteral("launches.log")));
        if (log.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : log.readAll().split('\n')) {
                const qint64 pid = line.mid(line.lastIndexOf(' ') + 1).toLongLong();
                if (pid > 0 &&
                    QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) == mainPath())
                    ::kill(static_cast<pid_t>(pid), SIGKILL);
            }
        }
        m_tree.reset();
    }

    void launchesOnceAndQuitsOnKillLauncher()
    {
        installStandIn(scriptStandIn);
        startHelper(helperPath(), {}, environment());
        QTRY_COMPARE(launches(), QStringList{mainPath()});
        QVERIFY(m_helper->state() == QProcess::Running);

        // The helper subscribed before it launched, so Corvane may speak now.
        m_corvane = std::make_unique<SessionBus>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("corvane")));
        QCOMPARE(m_corvane->registerName(appId), SessionBus::NameRequest::Owned);
        QVERIFY(m_corvane->emitKillLauncher(appId));
        QTRY_VERIFY(helperFinishedCleanly());
        QCOMPARE(launches().size(), 1);
    }

    void quitsAtOnceWhenCorvaneRuns()
    {
        installStandIn(scriptStandIn);
        m_corvane = std::make_unique<SessionBus>(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("corvane")));
        QCOMPARE(m_corvane->registerName(appId), SessionBus::NameRequest::Owned);
        startHelper(helperPath(), {}, environment());
        QTRY_VERIFY(helperFinishedCleanly());
        QVERIFY(launches().isEmpty());
    }

    void withoutSessionBus_data()
    {
        QTest::addColumn<bool>("corvaneHoldsLock");
        QTest::newRow("Corvane not running") << false;
        QTest::newRow("Corvane holds its lock") << true;
    }

    void withoutSessionBus()
    {
        QFETCH(bool, corvaneHoldsLock);
        installStandIn(scriptStandIn);
        InstanceLock corvaneLock(runtimeLockPath());
        if (corvaneHoldsLock)
            QVERIFY(corvaneLock.tryLock());

        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=/nonexistent/bus"));
        startHelper(helperPath(), {}, env);
        QTRY_VERIFY(helperFinishedCleanly());
        if (corvaneHoldsLock)
            QVERIFY(launches().isEmpty());
        else
            QTRY_COMPARE(launches(), QStringList{mainPath()});
    }

    // What a login does once start at login is ticked: the session runs the
    // autostart entry's Exec line, the helper starts Corvane, Corvane stops
    // the helper.
    void loginRunEndToEnd()
    {
        installProgram(QStringLiteral(STANDIN_PROGRAM), mainPath());
        LaunchOnLogin login(path(QStringLiteral("config/autostart")), helperPath());
        login.setStartAtLogin(true);
        QVERIFY(login.startAtLogin());

        QFile entryFile(login.entryPath());
        QVERIFY(entryFile.open(QIODevice::ReadOnly));
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(entryFile.readAll());
        QVERIFY(entry);
        const std::optional<QStringList> exec =
            DesktopEntry::splitExec(entry->value(QStringLiteral("Exec")).value_or(QString()));
        QVERIFY(exec && !exec->isEmpty());
        QCOMPARE(exec->first(), helperPath());

        startHelper(exec->first(), exec->mid(1), environment());
        QTRY_VERIFY_WITH_TIMEOUT(helperFinishedCleanly(), 10000);
        QCOMPARE(launches(), QStringList{mainPath()});
        // The stand-in leaves once the helper has gone.
        SessionBus observer(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("corvane")));
        QTRY_VERIFY(!observer.nameHasOwner(appId));

        login.setStartAtLogin(false);
        QVERIFY(!QFile::exists(login.entryPath()));
        QVERIFY(!login.startAtLogin());
    }
};

QTEST_GUILESS_MAIN(TestHelperProgram)
#include "tst_HelperProgram.moc"
