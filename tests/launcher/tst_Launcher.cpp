// Start at login: the autostart entry, the KillLauncher signal between
// Corvane and the helper, and the real corvane-helper the entry names. Runs
// inside a private session bus (dbus-run-session, see CMakeLists.txt). Each
// role (Corvane, the helper, a stranger) is a connection of its own, so the
// bus sees them as separate programs. The helper runs from a temporary tree
// laid out like an installation (with a space in its path), next to the
// stand-in for corvane (StandIn.cpp).
#include "log/Logging.h"
#include "platform/DesktopEntry.h"
#include "platform/InstanceLock.h"
#include "platform/LaunchOnLogin.h"
#include "platform/Launcher.h"
#include "platform/SessionBus.h"
#include "support/FileSizeLimit.h"

#include "Version.h"

#include <QDBusMessage>
#include <QtTest>

namespace {
const QString appId = QLatin1String(corvane::kAppId);
const QString helperId = QLatin1String(corvane::kHelperId);
} // namespace

class TestLauncher : public QObject {
    Q_OBJECT

    QStringList m_connectionNames;
    int m_connectionCount = 0; // names are never reused, not even across tests
    std::unique_ptr<QTemporaryDir> m_tree;
    QProcess m_helper;
    QStringList m_log; // "level category: message", debug lines left out

    // A new connection to the private bus: one more program, as the bus sees it.
    QDBusConnection openConnection(const QString& role)
    {
        m_connectionNames << role + QString::number(++m_connectionCount);
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionNames.last());
    }

    QString path(const QString& relative) const { return m_tree->filePath(relative); }
    QString helperPath() const { return path(QStringLiteral("libexec/corvane/corvane-helper")); }
    QString mainPath() const { return path(QStringLiteral("bin/corvane")); }
    QString autostartDir() const { return path(QStringLiteral("config/autostart")); }
    QString entryPath() const { return autostartDir() + "/org.corvane.CorvaneHelper.desktop"; }

    void expectOutcome(Logging::Level level, const QString& message)
    {
        QCOMPARE(m_log, QStringList{QString::number(int(level)) + " preferences: " + message});
        m_log.clear();
    }

    // The stand-in's launches, one path each.
    QStringList launches() const
    {
        QFile log(path(QStringLiteral("launches")));
        return log.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts)
                   : QStringList();
    }

private Q_SLOTS:
    void init()
    {
        m_tree = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                 QStringLiteral("/corvane tree-XXXXXX"));
        for (const char* folder : {"bin", "libexec/corvane", "run"})
            QVERIFY(QDir(m_tree->path()).mkpath(QLatin1String(folder)));
        // Qt ignores a runtime directory that is not private.
        QVERIFY(QFile::setPermissions(path(QStringLiteral("run")),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_log.clear();
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            if (level != Logging::Level::Debug)
                m_log << QString::number(int(level)) + ' ' + category.value_or("-") + ": " +
                             message;
        });
    }

    void cleanup()
    {
        m_helper.kill();
        m_helper.waitForFinished();
        Logging::setReceiver({});
        // Closing a connection releases its names before the next test.
        for (const QString& name : std::as_const(m_connectionNames))
            QDBusConnection::disconnectFromBus(name);
        m_connectionNames.clear();
        m_tree.reset();
    }

    // Each failure is logged as one error and leaves start at login off; then
    // the entry is written, reads back as ours, and is removed.
    void setStartAtLogin()
    {
        // Every character the Exec quoting rules single out.
        const QString helper = path(QStringLiteral(
            "My \"Apps\"/$HOME/`x`/100%/back\\slash/libexec/corvane/corvane-helper"));
        LaunchOnLogin login(autostartDir(), helper);
        QFile blocker(autostartDir()); // a file where the folder belongs
        QVERIFY(QDir().mkpath(path(QStringLiteral("config"))));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        login.setStartAtLogin(true);
        expectOutcome(Logging::Level::Error, QStringLiteral("Failed to enable start at login"));

        QVERIFY(blocker.remove() && QDir().mkpath(entryPath() + "/inside"));
        login.setStartAtLogin(false);
        expectOutcome(Logging::Level::Error, QStringLiteral("Failed to disable start at login"));

        QVERIFY(QDir(entryPath()).removeRecursively());
        {
            FileSizeLimit full(0);
            login.setStartAtLogin(true);
        }
        expectOutcome(Logging::Level::Error, QStringLiteral("Failed to enable start at login"));
        QVERIFY(!login.startAtLogin());

        login.setStartAtLogin(true);
        expectOutcome(Logging::Level::Info, QStringLiteral("Enabled start at login"));
        QVERIFY(login.startAtLogin());

        QFile file(entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(
            text.contains("\nExec=\"" + m_tree->path().toUtf8() +
                          "/My \\\\\"Apps\\\\\"/\\\\$HOME/\\\\`x\\\\`/100%%/back\\\\\\\\slash/"));
        const std::optional<DesktopEntry> entry = DesktopEntry::parse(text);
        QVERIFY(entry);
        QCOMPARE(entry->value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry->value(QStringLiteral("Name")), QStringLiteral("Corvane"));
        QCOMPARE(entry->value(QStringLiteral("TryExec")), helper);

        for (int i = 0; i < 2; ++i) { // twice: nothing left to remove is no failure
            login.setStartAtLogin(false);
            expectOutcome(Logging::Level::Info, QStringLiteral("Disabled start at login"));
            QVERIFY(!login.startAtLogin());
        }
    }

    // What reads as registered, and what repairEntry makes of it at start: an
    // entry of another install is rewritten to run ours; one that is switched
    // off, or that we cannot rewrite, reads as off.
    void readBackAndRepair_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("registered");
        QTest::addColumn<QString>("logged"); // a rewrite or its failure, or nothing
        const QString rewritten = QStringLiteral("2 preferences: Start at login ran /");
        const QString failed = QStringLiteral("4 preferences: Failed to point start at login");
        const QByteArray base = "[Desktop Entry]\nType=Application\nExec=/x/corvane-helper\n";
        const QByteArray old =
            "[Desktop Entry]\nType=Application\n"
            "Exec=\"/old build/corvane-helper\"\nTryExec=/old build/corvane-helper\n";
        QTest::newRow("earlier build, Hidden") << old + "Hidden=true\n" << false << "";
        QTest::newRow("earlier build, GNOME off") << old + "X-GNOME-Autostart-enabled=false\n"
                                                  << false << "";
        QTest::newRow("Hidden in another group") << base + "[Desktop Action quit]\nHidden=true\n"
                                                 << true << "";
        QTest::newRow("other group first") << "[Other]\nA=b\n" + base << false << "";
        QTest::newRow("main group twice") << base + base << false << "";
        QTest::newRow("stray line") << base + "garbage\n" << false << "";
        QTest::newRow("not UTF-8") << base + "Name=\xff\xfe\n" << false << "";
        QTest::newRow("oversized") << base + "#" + QByteArray(DesktopEntry::maxSize, 'x') + "\n"
                                   << false << "";
        QTest::newRow("earlier build") << old << false << rewritten;
        QTest::newRow("only TryExec elsewhere") << base + "TryExec=/gone/corvane-helper\n"
                                                << false << rewritten;
        QTest::newRow("earlier build, disk full") << old << false << failed;
    }

    void readBackAndRepair()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, registered);
        QFETCH(QString, logged);
        QVERIFY(QDir().mkpath(autostartDir()));
        QFile file(entryPath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        LaunchOnLogin login(autostartDir(), QStringLiteral("/x/corvane-helper"));
        QCOMPARE(login.startAtLogin(), registered);
        QVERIFY(m_log.empty()); // reading never logs

        const bool rewritten = logged.startsWith('2');
        const bool repaired = registered || rewritten;
        {
            // Unlike permissions, a full disk stops root too.
            std::optional<FileSizeLimit> full;
            if (logged.startsWith('4'))
                full.emplace(0);
            QCOMPARE(login.repairEntry(), repaired);
        }
        QCOMPARE(login.startAtLogin(), repaired);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll() != content, rewritten);
        QCOMPARE(m_log.size(), logged.isEmpty() ? 0 : 1);
        QCOMPARE(m_log.value(0).left(logged.size()), logged);
    }

    // Corvane's side sends KillLauncher, and logs it, only when the helper
    // runs. The helper trusts KillLauncher only with Corvane's identifier as
    // its one argument, and only from the owner of Corvane's name.
    void killLauncher()
    {
        SessionBus corvane(openConnection(QStringLiteral("corvane")));
        SessionBus stranger(openConnection(QStringLiteral("stranger")));
        SessionBus helper(openConnection(QStringLiteral("helper")));
        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        QCOMPARE(stranger.registerName(appId), SessionBus::NameRequest::Taken);
        QVERIFY(helper.subscribeKillLauncher(appId, appId));
        QSignalSpy kill(&helper, &SessionBus::killLauncher);
        QSignalSpy ignored(&helper, &SessionBus::killLauncherIgnored);

        QVERIFY(!Launcher::stopLauncherIfRunning(corvane)); // no helper to stop
        // A later signal from the same sender arrives after anything the call
        // sent, so once it is in, the count is final.
        QVERIFY(corvane.emitKillLauncher(QStringLiteral("org.example.Other")));
        QTRY_COMPARE(ignored.count(), 1);
        QCOMPARE(kill.count(), 0);
        QVERIFY(m_log.isEmpty());

        QCOMPARE(helper.registerName(helperId), SessionBus::NameRequest::Owned);
        QVERIFY(Launcher::stopLauncherIfRunning(corvane));
        QTRY_COMPARE(kill.count(), 1);
        QCOMPARE(m_log, QStringList{QStringLiteral("2 -: Stopping launcher app")});

        QDBusMessage extra =
            QDBusMessage::createSignal(QLatin1String(SessionBus::killLauncherPath),
                                       QLatin1String(SessionBus::killLauncherInterface),
                                       QLatin1String(SessionBus::killLauncherMember));
        extra.setArguments({appId, QStringLiteral("x")});
        QVERIFY(corvane.connection().send(extra));
        QVERIFY(stranger.emitKillLauncher(appId));
        QTRY_COMPARE(ignored.count(), 3);
        QCOMPARE(kill.count(), 1);
    }

    // The helper launches Corvane, once and at the path it forms, unless
    // Corvane runs: it owns its name on the bus, or without a bus holds its
    // lock (a lock left by a process that has gone is not held). On the bus
    // it then waits for Corvane to stop it; without one it quits at once.
    void helperProgram_data()
    {
        QTest::addColumn<bool>("onBus");
        QTest::addColumn<QString>("corvane"); // "running", "gone" or not there
        QTest::newRow("login") << true << "";
        QTest::newRow("Corvane owns its name") << true << "running";
        QTest::newRow("no bus") << false << "";
        QTest::newRow("no bus, Corvane holds its lock") << false << "running";
        QTest::newRow("no bus, lock of a process that has gone") << false << "gone";
    }
    void helperProgram()
    {
        QFETCH(bool, onBus);
        QFETCH(QString, corvane);
        QVERIFY(QFile::copy(QStringLiteral(HELPER_PROGRAM), helperPath()));
        QVERIFY(QFile::copy(QStringLiteral(STANDIN_PROGRAM), mainPath()));
        SessionBus bus(openConnection(QStringLiteral("corvane")));
        InstanceLock lock(path(QStringLiteral("run/org.corvane.Corvane.lock")));
        if (onBus && corvane == "running")
            QCOMPARE(bus.registerName(appId), SessionBus::NameRequest::Owned);
        if (!onBus && !corvane.isEmpty())
            QVERIFY(lock.tryLock() && lock.isHeld());
        if (corvane == "gone") { // the lock names a process id above any pid_max
            QFile file(lock.path());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QByteArray text = file.readAll();
            text.replace(0, text.indexOf('\n'), "99999999");
            QVERIFY(file.resize(0) && file.seek(0) && file.write(text) > 0);
        }

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CORVANE_TEST_LAUNCH_LOG"), path(QStringLiteral("launches")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
        if (!onBus) // no address, and no bus in the runtime folder
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_helper.setProcessEnvironment(env);
        m_helper.start(helperPath());
        QTRY_VERIFY_WITH_TIMEOUT(m_helper.state() == QProcess::NotRunning &&
                                     m_helper.exitStatus() == QProcess::NormalExit &&
                                     m_helper.exitCode() == 0,
                                 10000);
        QTRY_COMPARE(launches(), corvane == "running" ? QStringList() : QStringList{mainPath()});
        // The stand-in leaves once the helper has gone.
        if (onBus)
            QTRY_COMPARE(bus.nameHasOwner(appId), corvane == "running");
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_Launcher.moc"
