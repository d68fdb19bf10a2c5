// Runs inside a private bus (dbus-run-session) that stands in for the system
// bus as well; a connection of the test's own, owning logind's name, plays
// logind on it.
#include "platform/ResumeWatcher.h"
#include "support/LogCapture.h"

#include <QDBusMessage>
#include <QtTest>

namespace {

// Once the daemon answered a later call of the same connection, it has routed
// everything that connection sent before.
void settle(const QDBusConnection& bus)
{
    bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
}

// Sends PrepareForSleep with these arguments from this connection, after the
// watchers' subscriptions have reached the daemon.
void prepareForSleep(const QDBusConnection& bus, const QVariantList& arguments)
{
    settle(QDBusConnection::systemBus());
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
        QStringLiteral("PrepareForSleep"));
    signal.setArguments(arguments);
    QVERIFY(bus.send(signal));
    settle(bus);
}

} // namespace

class TestResumeWatcher : public QObject {
    Q_OBJECT

    std::optional<QDBusConnection> m_logind;

private Q_SLOTS:
    void initTestCase()
    {
        // Before anything connects to the system bus: ours is the private one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
        m_logind =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("logind"));
        QVERIFY(m_logind->registerService(QStringLiteral("org.freedesktop.login1")));
    }

    // Only logind's PrepareForSleep(b) counts. A genuine wake-up comes last,
    // and its arrival shows that the signals before it were handled. A
    // stopped watcher hears nothing, and can start again.
    void reportsLogindsSignalsOnly()
    {
        ResumeWatcher watcher;
        ResumeWatcher stopped;
        QSignalSpy resumed(&watcher, &ResumeWatcher::resumed);
        QSignalSpy suspending(&watcher, &ResumeWatcher::suspending);
        QSignalSpy silent(&stopped, &ResumeWatcher::resumed);
        QVERIFY(watcher.start());
        QVERIFY(stopped.start());
        stopped.stop();
        QVERIFY(!stopped.isActive());
        prepareForSleep(*m_logind, {true});
        prepareForSleep(QDBusConnection::sessionBus(), {false}); // another client
        prepareForSleep(*m_logind, {QStringLiteral("false")});
        prepareForSleep(*m_logind, {});
        prepareForSleep(*m_logind, {false});
        QTRY_COMPARE(resumed.size(), 1);
        QCOMPARE(suspending.size(), 1);
        QCOMPARE(silent.size(), 0);

        QVERIFY(stopped.start());
        prepareForSleep(*m_logind, {false});
        QTRY_COMPARE(silent.size(), 1);
        QCOMPARE(resumed.size(), 2);
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
