// Runs inside a private session bus (dbus-run-session); the notification
// server is played in-process, on a connection of its own, once a test
// registers it.
#include "platform/DesktopNotifier.h"
#include "support/LogCapture.h"

#include <QDBusContext>
#include <QtTest>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");

// Notifies and waits for the outcome, which must come from the event loop.
bool notified(DesktopNotifier& notifier, const QString& summary, const QString& body, bool shown)
{
    QSignalSpy finished(&notifier, &DesktopNotifier::finished);
    notifier.notify(summary, body);
    return finished.isEmpty() && finished.wait(10000) && finished.size() == 1 &&
           finished.first().first().toBool() == shown;
}

} // namespace

// Records each Notify call; refuses them when told to.
class NotificationServer : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<QVariantList> calls;
    bool refuse = false;

public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int timeout)
    {
        calls.append({app, replaces, icon, summary, body, actions, hints, timeout});
        if (refuse)
            sendErrorReply(QDBusError::LimitsExceeded, QStringLiteral("full"));
        return uint(calls.size());
    }
};

class TestDesktopNotifier : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Runs before the server registers: nothing to call, nothing waits.
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
    // server) is left alone. Nothing is shown when the server refuses.
    void showsPlainText()
    {
        NotificationServer server;
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("server"));
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(kService));

        DesktopNotifier notifier;
        const QString summary = QStringLiteral("R&B <Room>");
        QVERIFY(notified(notifier, summary, QStringLiteral("<b>Küche</b> \"Nord\" & &amp;"), true));
        const QString sent = QStringLiteral("&lt;b&gt;Küche&lt;/b&gt; \"Nord\" &amp; &amp;amp;");
        const QVariantList expected{QStringLiteral("Corvane"), 0u,
                                    QStringLiteral("org.corvane.Corvane"), summary};
        QCOMPARE(server.calls.size(), 1);
        QCOMPARE(server.calls[0],
                 (expected + QVariantList{sent, QStringList(), QVariantMap(), -1}));

        server.refuse = true;
        QVERIFY(notified(notifier, summary, QString(), false));
        QCOMPARE(server.calls.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDesktopNotifier)
#include "tst_DesktopNotifier.moc"
