// Runs inside a private bus (dbus-run-session) that stands in for the system
// bus as well; python3-dbusmock's logind template plays logind on it.
#include "platform/ResumeWatcher.h"
#include "support/LogCapture.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");

QDBusConnection systemBus()
{
    return QDBusConnection::systemBus();
}

// Once the daemon answered a later call of the same connection, it has routed
// everything that connection sent before.
void settle(const QDBusConnection& bus)
{
    bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
}

// Has the mock logind emit PrepareForSleep with these arguments.
bool logindEmits(const QString& signature, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kLogind, kPath, QStringLiteral("org.freedesktop.DBus.Mock"), QStringLiteral("EmitSignal"));
    call << kManager << QStringLiteral("PrepareForSleep") << signature
         << QVariant::fromValue(arguments);
    return systemBus().call(call).type() == QDBusMessage::ReplyMessage;
}

bool logindWakes()
{
    return logindEmits(QStringLiteral("b"), {false});
}

} // namespace

class TestResumeWatcher : public QObject {
    Q_OBJECT

    QProcess m_logind;

private Q_SLOTS:
    void initTestCase()
    {
        // Before anything connects to the system bus: ours is the private one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        m_logind.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_logind.setStandardOutputFile(QProcess::nullDevice());
        m_logind.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                        QStringLiteral("--system"), QStringLiteral("--template"),
                        QStringLiteral("logind")});
        QVERIFY(m_logind.waitForStarted());
        QVERIFY2(QTest::qWaitFor(
                     [] { return systemBus().interface()->isServiceRegistered(kLogind).value(); },
                     10000),
                 "the mock needs python3-dbusmock (scripts/install-deps)");
    }

    void cleanupTestCase()
    {
        m_logind.terminate();
        m_logind.waitForFinished(5000);
    }

    // Each row's signal is followed by a genuine wake-up, whose arrival shows
    // that the row's signal was handled before it.
    void reportsLogindsSignalsOnly_data()
    {
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QVariantList>("arguments");
        QTest::addColumn<bool>("fromAnotherClient");
        QTest::addColumn<int>("resumed");
        QTest::addColumn<int>("suspending");

        const QString b = QStringLiteral("b");
        QTest::newRow("wake-up") << b << QVariantList{false} << false << 1 << 0;
        QTest::newRow("going to sleep") << b << QVariantList{true} << false << 0 << 1;
        QTest::newRow("wake-up from another client") << b << QVariantList{false} << true << 0 << 0;
        QTest::newRow("argument of another type")
            << QStringLiteral("s") << QVariantList{QStringLiteral("false")} << false << 0 << 0;
        QTest::newRow("no argument") << QString() << QVariantList{} << false << 0 << 0;
    }
    void reportsLogindsSignalsOnly()
    {
        QFETCH(QString, signature);
        QFETCH(QVariantList, arguments);
        QFETCH(bool, fromAnotherClient);
        QFETCH(int, resumed);
        QFETCH(int, suspending);

        ResumeWatcher watcher;
        QSignalSpy resumedSpy(&watcher, &ResumeWatcher::resumed);
        QSignalSpy suspendingSpy(&watcher, &ResumeWatcher::suspending);
        QVERIFY(watcher.start());
        settle(systemBus());

        if (fromAnotherClient) {
            QDBusConnection other = QDBusConnection::connectToBus(
                QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                QStringLiteral("another-client"));
            QVERIFY(other.isConnected());
            QDBusMessage fake =
                QDBusMessage::createSignal(kPath, kManager, QStringLiteral("PrepareForSleep"));
            fake.setArguments(arguments);
            QVERIFY(other.send(fake));
            settle(other);
            QDBusConnection::disconnectFromBus(QStringLiteral("another-client"));
        } else {
            QVERIFY(logindEmits(signature, arguments));
        }
        QVERIFY(logindWakes());
        QTRY_COMPARE(resumedSpy.size(), resumed + 1);
        QCOMPARE(suspendingSpy.size(), suspending);
    }

    // A stopped watcher hears nothing while a started one does; it can start
    // again.
    void stopSilences()
    {
        ResumeWatcher stopped;
        ResumeWatcher running;
        QSignalSpy silent(&stopped, &ResumeWatcher::resumed);
        QSignalSpy heard(&running, &ResumeWatcher::resumed);
        QVERIFY(stopped.start());
        QVERIFY(running.start());
        stopped.stop();
        QVERIFY(!stopped.isActive());
        QVERIFY(logindWakes());
        QTRY_COMPARE(heard.size(), 1);
        QCOMPARE(silent.size(), 0);

        QVERIFY(stopped.start());
        settle(systemBus());
        QVERIFY(logindWakes());
        QTRY_COMPARE(silent.size(), 1);
    }

    void withoutBusLogsOnce()
    {
        LogCapture log;
        ResumeWatcher watcher({.bus = QDBusConnection(QStringLiteral("corvane-no-bus"))});
        QVERIFY(!watcher.start());
        QVERIFY(!watcher.start());
        QVERIFY(!watcher.isActive());
        QCOMPARE(log.lines.size(), 1);
        QVERIFY(log.has(Logging::Level::Info, QStringLiteral("ResumeWatcher"),
                        QStringLiteral("No system bus")));
    }
};

QTEST_GUILESS_MAIN(TestResumeWatcher)
#include "tst_ResumeWatcher.moc"
