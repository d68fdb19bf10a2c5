// Runs inside a private bus (dbus-run-session with tests/dbus/session.conf),
// which stands in for the system bus too; one mock process plays the four
// services (tests/dbus-mocks/inhibitors.py).
#include "platform/SleepInhibitor.h"

#include <QDBusMessage>
#include <QtTest>

using Service = SleepInhibitor::Service;

namespace {

// The services in the order they are tried, each with how the mock's entry
// for Corvane's inhibitor begins and whether it ends with the cookie.
struct Expected {
    Service service;
    const char* entry;
    bool cookie;
};
const Expected kServices[] = {
    {Service::GnomeSessionManager, "gnome|org.corvane.Corvane|4|testing|", true},
    {Service::PowerManagement, "pm|Corvane|testing|", true},
    {Service::Portal, "portal|4|testing|", false},
    {Service::Logind, "logind|idle|Corvane|block|testing", false},
};

// Asks for the inhibitor; true when the answer comes from the event loop and
// is the one expected.
bool take(SleepInhibitor& inhibitor, bool granted)
{
    QSignalSpy finished(&inhibitor, &SleepInhibitor::finished);
    inhibitor.inhibit(QStringLiteral("testing"));
    return inhibitor.isPending() && finished.isEmpty() && finished.wait(10000) &&
           finished.size() == 1 && finished.first().first().toBool() == granted;
}

} // namespace

class TestSleepInhibitor : public QObject {
    Q_OBJECT

    QProcess m_mock;

    QDBusConnection bus() const { return QDBusConnection::sessionBus(); }

    // Calls the mock; its answer, or the error as text.
    QStringList mock(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QStringLiteral("org.corvane.test.Inhibitors"),
                                           QStringLiteral("/org/corvane/test/Inhibitors"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        const QDBusMessage reply = bus().call(call);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {QStringLiteral("error: ") + reply.errorMessage()};
        return reply.arguments().value(0).toStringList();
    }
    QStringList held() { return mock(QStringLiteral("ListInhibitors")); }
    // Starts these services, and has those refusing refuse every Inhibit.
    void serve(const QStringList& keys, const QStringList& refusing = {})
    {
        QCOMPARE(mock(QStringLiteral("Serve"), {keys, refusing}), QStringList());
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                      QStringLiteral("--template"),
                      QStringLiteral(DBUS_MOCKS_DIR "/inhibitors.py")});
        // It answers only once every service has its name.
        QVERIFY(m_mock.waitForStarted());
        QVERIFY2(QTest::qWaitFor([&] { return !held().value(0).startsWith(u"error"); }, 10000),
                 "the mock needs python3-dbusmock (scripts/install-deps)");
    }

    void cleanupTestCase()
    {
        m_mock.terminate();
        m_mock.waitForFinished(5000);
    }

    // With all four present the first is used; taking each away hands over
    // to the next; each release reaches the service that granted it. With
    // nobody left, or no bus at all, the inhibitor fails; a refusal hands
    // over to the next service.
    void takesFromFirstPresentServiceInOrder()
    {
        SleepInhibitor inhibitor(bus(), bus());
        for (const Expected& expected : kServices) {
            QVERIFY(take(inhibitor, true));
            QCOMPARE(inhibitor.service(), expected.service);
            const QStringList entries = held();
            QCOMPARE(entries.size(), 1);
            QVERIFY2(entries[0].startsWith(QLatin1String(expected.entry)), qPrintable(entries[0]));
            if (expected.cookie)
                QVERIFY(entries[0].endsWith(u'|' + QString::number(inhibitor.cookie())));
            inhibitor.release();
            QTRY_COMPARE_WITH_TIMEOUT(held(), QStringList(), 10000);
            const QString key = QString::fromLatin1(expected.entry).section(u'|', 0, 0);
            QCOMPARE(mock(QStringLiteral("Drop"), {key}), QStringList());
        }
        QVERIFY(take(inhibitor, false));
        QCOMPARE(inhibitor.service(), Service::None);
        SleepInhibitor noBus{QDBusConnection(QString()), QDBusConnection(QString())};
        QVERIFY(take(noBus, false));

        serve({QStringLiteral("gnome"), QStringLiteral("pm")}, {QStringLiteral("gnome")});
        QVERIFY(take(inhibitor, true));
        QCOMPARE(inhibitor.service(), Service::PowerManagement);
    }

    // The service that granted the inhibitor quits or restarts, taking the
    // inhibitor with it: a new one comes from the next service there, or
    // from the granting one once it is back. Only the first take reports
    // through finished().
    void lapsedInhibitorIsTakenAgain()
    {
        // Left refusing by the test before.
        QCOMPARE(mock(QStringLiteral("Drop"), {QStringLiteral("gnome")}), QStringList());
        serve({QStringLiteral("gnome")});
        SleepInhibitor inhibitor(bus(), bus());
        QSignalSpy finished(&inhibitor, &SleepInhibitor::finished);
        QSignalSpy renewed(&inhibitor, &SleepInhibitor::renewed);
        const auto pmEntry = [&] {
            return QStringList{QStringLiteral("pm|Corvane|testing|%1").arg(inhibitor.cookie())};
        };
        QVERIFY(take(inhibitor, true));
        QCOMPARE(inhibitor.service(), Service::GnomeSessionManager);

        QCOMPARE(mock(QStringLiteral("Drop"), {QStringLiteral("gnome")}), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(inhibitor.service() == Service::PowerManagement, 10000);
        QCOMPARE(held(), pmEntry());

        // A restart with nobody else there: taken again once it is back.
        QCOMPARE(mock(QStringLiteral("Drop"), {QStringLiteral("pm")}), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(!inhibitor.isHeld() && !inhibitor.isPending(), 10000);
        QCOMPARE(renewed.last().first().toBool(), false);
        serve({QStringLiteral("pm")});
        QTRY_VERIFY_WITH_TIMEOUT(inhibitor.isHeld(), 10000);
        QCOMPARE(held(), pmEntry());
        QCOMPARE(renewed.last().first().toBool(), true);
        QCOMPARE(finished.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_SleepInhibitor.moc"
