// The real corvane-helper, copied into a temporary tree laid out like an
// installation (with a space in its path), next to the stand-in for corvane
// (StandIn.cpp). Runs inside a private session bus (dbus-run-session).
#include "platform/DesktopEntry.h"
#include "platform/InstanceLock.h"
#include "platform/LaunchOnLogin.h"
#include "platform/SessionBus.h"

#include "Version.h"

#include <QtTest>

class TestHelperProgram : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_tree;
    QProcess m_helper;

    QString path(const QString& relative) const { return m_tree->filePath(relative); }
    QString helperPath() const { return path(QStringLiteral("libexec/corvane/corvane-helper")); }
    QString mainPath() const { return path(QStringLiteral("bin/corvane")); }

    // Runs the helper with the tree's runtime folder, on the bus or on none.
    void startHelper(const QStringList& command, bool onBus = true)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CORVANE_TEST_LAUNCH_LOG"), path(QStringLiteral("launches")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
        if (!onBus) // no address, and no bus in the runtime folder
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        m_helper.setProcessEnvironment(env);
        m_helper.start(command.first(), command.mid(1));
        QVERIFY(m_helper.waitForStarted());
    }

    // The stand-in's launches, one path each.
    QStringList launches() const
    {
        QFile log(path(QStringLiteral("launches")));
        return log.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts)
                   : QStringList();
    }

    bool helperFinishedCleanly() const
    {
        return m_helper.state() == QProcess::NotRunning &&
               m_helper.exitStatus() == QProcess::NormalExit && m_helper.exitCode() == 0;
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
        QVERIFY(QFile::copy(QStringLiteral(HELPER_PROGRAM), helperPath()));
        QVERIFY(QFile::copy(QStringLiteral(STANDIN_PROGRAM), mainPath()));
    }

    void cleanup()
    {
        m_helper.kill();
        m_helper.waitForFinished();
        QDBusConnection::disconnectFromBus(QStringLiteral("corvane"));
        m_tree.reset();
    }

    // What a login does once start at login is ticked: the session runs the
    // autostart entry's Exec line, the helper starts Corvane (one launch, at
    // the path it forms), Corvane stops the helper; unticking removes it.
    void loginRunEndToEnd()
    {
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

        startHelper(*exec);
        QTRY_VERIFY_WITH_TIMEOUT(helperFinishedCleanly(), 10000);
        QCOMPARE(launches(), QStringList{mainPath()});
        // The stand-in leaves once the helper has gone.
        SessionBus observer(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("corvane")));
        QTRY_VERIFY(!observer.nameHasOwner(QLatin1String(corvane::kAppId)));

        login.setStartAtLogin(false);
        QVERIFY(!QFile::exists(login.entryPath()));
        QVERIFY(!login.startAtLogin());
    }

    // The helper quits at once: when Corvane runs (it owns its name on the
    // bus, or without a bus holds its lock) without launching anything, and
    // without a bus after launching Corvane.
    void quitsAtOnce_data()
    {
        QTest::addColumn<bool>("onBus");
        QTest::addColumn<bool>("corvaneRuns");
        QTest::newRow("Corvane owns its name") << true << true;
        QTest::newRow("no bus, Corvane holds its lock") << false << true;
        QTest::newRow("no bus, Corvane not running") << false << false;
    }
    void quitsAtOnce()
    {
        QFETCH(bool, onBus);
        QFETCH(bool, corvaneRuns);
        SessionBus corvane(
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("corvane")));
        InstanceLock corvaneLock(path(QStringLiteral("run/org.corvane.Corvane.lock")));
        if (corvaneRuns && onBus)
            QCOMPARE(corvane.registerName(QLatin1String(corvane::kAppId)),
                     SessionBus::NameRequest::Owned);
        if (corvaneRuns && !onBus)
            QVERIFY(corvaneLock.tryLock());
        startHelper({helperPath()}, onBus);
        QTRY_VERIFY(helperFinishedCleanly());
        QTRY_COMPARE(launches(), corvaneRuns ? QStringList() : QStringList{mainPath()});
    }
};

QTEST_GUILESS_MAIN(TestHelperProgram)
#include "tst_HelperProgram.moc"
