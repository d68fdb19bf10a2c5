// Runs inside a private session bus (dbus-run-session, see CMakeLists.txt).
// Each role (Corvane, the helper, a stranger) is a connection of its own, so
// the bus sees them as separate programs.
#include "log/Logging.h"
#include "platform/InstanceLock.h"
#include "platform/Launcher.h"
#include "platform/SessionBus.h"

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

    // A new connection to the private bus: one more program, as the bus sees it.
    QDBusConnection openConnection(const QString& role)
    {
        m_connectionNames << role + QString::number(++m_connectionCount);
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionNames.last());
    }

private Q_SLOTS:
    void cleanup()
    {
        Logging::setReceiver({});
        // Closing a connection releases its names before the next test.
        for (const QString& name : std::as_const(m_connectionNames))
            QDBusConnection::disconnectFromBus(name);
        m_connectionNames.clear();
    }

    // Corvane's side sends KillLauncher, and logs it, only when the helper
    // runs. The helper trusts KillLauncher only with Corvane's identifier as
    // its one argument, and only from the owner of Corvane's name.
    void killLauncher_data()
    {
        QTest::addColumn<QString>("sender"); // "stop": stopLauncherIfRunning
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<bool>("accepted");
        const QVariantList none;
        QTest::newRow("Corvane stops the helper") << QStringLiteral("stop") << none << true;
        QTest::newRow("no helper to stop") << QStringLiteral("stop") << none << false;
        const QString corvane = QStringLiteral("corvane");
        // Sent by hand as the rows below are, so that they fail for their own reason.
        QTest::newRow("Corvane, its identifier") << corvane << QVariantList{appId} << true;
        QTest::newRow("Corvane, another object")
            << corvane << QVariantList{QStringLiteral("org.example.Other")} << false;
        QTest::newRow("Corvane, no object") << corvane << QVariantList{} << false;
        QTest::newRow("Corvane, number as object") << corvane << QVariantList{42} << false;
        QTest::newRow("Corvane, extra argument")
            << corvane << QVariantList{appId, QStringLiteral("x")} << false;
        QTest::newRow("stranger, Corvane's identifier")
            << QStringLiteral("stranger") << QVariantList{appId} << false;
    }
    void killLauncher()
    {
        QFETCH(QString, sender);
        QFETCH(QVariantList, arguments);
        QFETCH(bool, accepted);
        const bool stop = sender == QLatin1String("stop");
        QStringList stopping; // level and category of each "Stopping launcher app"
        Logging::setReceiver([&stopping](Logging::Level level, const Logging::Category& category,
                                         const QString& text) {
            if (text == QLatin1String("Stopping launcher app"))
                stopping << QString::number(int(level)) + category.value_or(QString());
        });
        SessionBus corvane(openConnection(QStringLiteral("corvane")));
        SessionBus stranger(openConnection(QStringLiteral("stranger")));
        SessionBus helper(openConnection(QStringLiteral("helper")));
        QCOMPARE(corvane.registerName(appId), SessionBus::NameRequest::Owned);
        QCOMPARE(stranger.registerName(appId), SessionBus::NameRequest::Taken);
        if (accepted || !stop)
            QCOMPARE(helper.registerName(helperId), SessionBus::NameRequest::Owned);
        QVERIFY(helper.subscribeKillLauncher(appId, appId));
        QSignalSpy kill(&helper, &SessionBus::killLauncher);
        QSignalSpy ignored(&helper, &SessionBus::killLauncherIgnored);

        if (stop) {
            QCOMPARE(Launcher::stopLauncherIfRunning(corvane), accepted);
            // A later signal from the same sender arrives after anything the
            // call sent, so once it is in, the count is final.
            QVERIFY(corvane.emitKillLauncher(QStringLiteral("sentinel")));
            QTRY_COMPARE(ignored.count(), 1);
        } else {
            QDBusMessage signal =
                QDBusMessage::createSignal(QLatin1String(SessionBus::killLauncherPath),
                                           QLatin1String(SessionBus::killLauncherInterface),
                                           QLatin1String(SessionBus::killLauncherMember));
            signal.setArguments(arguments);
            const SessionBus& from = sender == QLatin1String("corvane") ? corvane : stranger;
            QVERIFY(from.connection().send(signal));
            QTRY_COMPARE(kill.count() + ignored.count(), 1);
        }
        QCOMPARE(kill.count(), accepted ? 1 : 0);
        const QStringList info{QString::number(int(Logging::Level::Info))};
        QCOMPARE(stopping, stop && accepted ? info : QStringList());
    }

    // Held only by a live process: a lock left by one that has gone is not.
    void instanceLockOfDeadProcess()
    {
        QTemporaryDir dir;
        InstanceLock lock(dir.filePath(QStringLiteral("run/corvane.lock")));
        QVERIFY(lock.tryLock());
        QVERIFY(lock.isHeld());
        QFile file(lock.path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QByteArrayList lines = file.readAll().split('\n');
        QProcess gone;
        gone.start(QStringLiteral("true"));
        QVERIFY(gone.waitForStarted());
        lines[0] = QByteArray::number(gone.processId());
        QVERIFY(gone.waitForFinished());
        QVERIFY(file.resize(0) && file.seek(0) && file.write(lines.join('\n')) > 0);
        file.close();
        QVERIFY(!lock.isHeld());
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_Launcher.moc"
