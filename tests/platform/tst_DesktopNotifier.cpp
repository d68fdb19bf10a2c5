// Runs inside a private session bus (dbus-run-session); python3-dbusmock's
// notification_daemon template plays the notification server once a test
// starts it.
#include "platform/DesktopNotifier.h"
#include "support/LogCapture.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");

QDBusMessage callMock(const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/org/freedesktop/Notifications"),
                                       QStringLiteral("org.freedesktop.DBus.Mock"), method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

// The arguments of each Notify call the mock received.
QList<QVariantList> notifyCalls()
{
    const QDBusMessage reply =
        callMock(QStringLiteral("GetMethodCalls"), {QStringLiteral("Notify")});
    QList<QVariantList> calls;
    if (reply.type() != QDBusMessage::ReplyMessage)
        return calls;
    const auto argument = reply.arguments().constFirst().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        quint64 time = 0;
        QVariantList arguments;
        argument.beginStructure();
        argument >> time >> arguments;
        argument.endStructure();
        calls.append(arguments);
    }
    argument.endArray();
    return calls;
}

// Notifies and waits for the outcome, which must come from the event loop.
bool notified(DesktopNotifier& notifier, const QString& summary, const QString& body, bool shown)
{
    QSignalSpy finished(&notifier, &DesktopNotifier::finished);
    notifier.notify(summary, body);
    return finished.isEmpty() && finished.wait(10000) && finished.size() == 1 &&
           finished.first().first().toBool() == shown;
}

} // namespace

class TestDesktopNotifier : public QObject {
    Q_OBJECT

    QProcess m_server;

    // The notification server, started once the tests without it are done.
    bool serverRuns()
    {
        if (m_server.state() == QProcess::NotRunning) {
            m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            m_server.setStandardOutputFile(QProcess::nullDevice());
            m_server.start(QStringLiteral("/usr/bin/python3"),
                           {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                            QStringLiteral("--session"), QStringLiteral("--template"),
                            QStringLiteral("notification_daemon")});
        }
        return m_server.waitForStarted() && QTest::qWaitFor(
                                                [] {
                                                    return QDBusConnection::sessionBus()
                                                        .interface()
                                                        ->isServiceRegistered(kService)
                                                        .value();
                                                },
                                                10000);
    }

private Q_SLOTS:
    void cleanupTestCase()
    {
        m_server.terminate();
        m_server.waitForFinished(5000);
    }

    // Runs before the server starts: nothing to call, nothing waits.
    void withoutServiceGivesUp()
    {
        LogCapture log;
        DesktopNotifier notifier;
        QVERIFY(notified(notifier, QStringLiteral("Speakers"), QStringLiteral("changed"), false));
        QVERIFY(log.has(Logging::Level::Info, QStringLiteral("DesktopNotifier"),
                        QStringLiteral("Notification not shown: no notification service")));

        DesktopNotifier noBus({.bus = QDBusConnection(QStringLiteral("corvane-no-bus"))});
        QVERIFY(notified(noBus, QStringLiteral("Speakers"), QStringLiteral("changed"), false));
        QVERIFY(log.has(Logging::Level::Info, QStringLiteral("DesktopNotifier"),
                        QStringLiteral("Notification not shown: no session bus")));
    }

    // One Notify per notification, as Corvane with its icon; the body's
    // markup characters are escaped, the summary (plain text to every
    // server) is left alone.
    void showsPlainText_data()
    {
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("sentBody");

        QTest::newRow("plain") << QStringLiteral("Speakers changed")
                               << QStringLiteral("Küche \"Nord\" joined")
                               << QStringLiteral("Küche \"Nord\" joined");
        QTest::newRow("markup")
            << QStringLiteral("Speakers changed")
            << QStringLiteral("<b>Kitchen</b> & <a href=x>Bath</a>")
            << QStringLiteral("&lt;b&gt;Kitchen&lt;/b&gt; &amp; &lt;a href=x&gt;Bath&lt;/a&gt;");
        QTest::newRow("entity") << QStringLiteral("Speakers changed") << QStringLiteral("&amp;")
                                << QStringLiteral("&amp;amp;");
        QTest::newRow("summary left alone")
            << QStringLiteral("R&B <Room>") << QString() << QString();
    }
    void showsPlainText()
    {
        QFETCH(QString, summary);
        QFETCH(QString, body);
        QFETCH(QString, sentBody);
        QVERIFY2(serverRuns(), "the mock needs python3-dbusmock (scripts/install-deps)");
        QCOMPARE(callMock(QStringLiteral("ClearCalls")).type(), QDBusMessage::ReplyMessage);

        DesktopNotifier notifier;
        QVERIFY(notified(notifier, summary, body, true));
        const QList<QVariantList> calls = notifyCalls();
        QCOMPARE(calls.size(), 1);
        const QVariantList& call = calls.first();
        QCOMPARE(call.size(), 8);
        QCOMPARE(call[0].toString(), QStringLiteral("Corvane"));
        QCOMPARE(call[1].toUInt(), 0u);
        QCOMPARE(call[2].toString(), QStringLiteral("org.corvane.Corvane"));
        QCOMPARE(call[3].toString(), summary);
        QCOMPARE(call[4].toString(), sentBody);
        QCOMPARE(call[7].toInt(), -1);
    }

    void refusedIsNotShown() // nothing is shown when the server refuses
    {
        QVERIFY(serverRuns());
        QCOMPARE(callMock(QStringLiteral("AddMethod"),
                          {kService, QStringLiteral("Notify"), QStringLiteral("susssasa{sv}i"),
                           QStringLiteral("u"),
                           QStringLiteral("raise dbus.exceptions.DBusException('full')")})
                     .type(),
                 QDBusMessage::ReplyMessage);
        DesktopNotifier notifier;
        QVERIFY(notified(notifier, QStringLiteral("Speakers"), QStringLiteral("changed"), false));
    }
};

QTEST_GUILESS_MAIN(TestDesktopNotifier)
#include "tst_DesktopNotifier.moc"
