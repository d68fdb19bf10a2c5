// Runs inside a private bus (dbus-run-session with tests/dbus/session.conf);
// the same bus stands in for the system bus, where the logind mock lives.
#include "app/SystemSleep.h"
#include "log/Logging.h"
#include "platform/SleepInhibitor.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <map>
#include <memory>

using Service = SleepInhibitor::Service;

namespace {

struct MockInfo {
    const char* templateName; // a file in tests/dbus-mocks, or a dbusmock template
    const char* busName;
    const char* path;
    bool system;
};

const std::map<Service, MockInfo> kMocks = {
    {Service::GnomeSessionManager,
     {DBUS_MOCKS_DIR "/gnome_session.py", "org.gnome.SessionManager", "/org/gnome/SessionManager",
      false}},
    {Service::PowerManagement,
     {DBUS_MOCKS_DIR "/power_management.py", "org.freedesktop.PowerManagement",
      "/org/freedesktop/PowerManagement/Inhibit", false}},
    {Service::Portal,
     {DBUS_MOCKS_DIR "/portal_inhibit.py", "org.freedesktop.portal.Desktop",
      "/org/freedesktop/portal/desktop", false}},
    {Service::Logind, {"logind", "org.freedesktop.login1", "/org/freedesktop/login1", true}},
};

const QString kPython = QStringLiteral("/usr/bin/python3");

} // namespace

class TestSleepInhibitor : public QObject {
    Q_OBJECT

    QDBusConnection bus() const { return QDBusConnection::sessionBus(); }
    QDBusConnection systemStandIn() const
    {
        return QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                             QStringLiteral("system-stand-in"));
    }

    bool startMock(Service service, const QString& parameters = QString())
    {
        const MockInfo& info = kMocks.at(service);
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->setStandardOutputFile(QProcess::nullDevice());
        QStringList args{QStringLiteral("-m"), QStringLiteral("dbusmock")};
        if (info.system)
            args << QStringLiteral("--system");
        args << QStringLiteral("--template") << QString::fromUtf8(info.templateName);
        if (!parameters.isEmpty())
            args << QStringLiteral("--parameters") << parameters;
        process->start(kPython, args);
        if (!process->waitForStarted())
            return false;
        m_mocks[service] = std::move(process);
        return waitForOwner(QString::fromUtf8(info.busName), true);
    }

    bool stopMock(Service service)
    {
        auto it = m_mocks.find(service);
        if (it == m_mocks.end())
            return true;
        it->second->terminate();
        it->second->waitForFinished(5000);
        m_mocks.erase(it);
        return waitForOwner(QString::fromUtf8(kMocks.at(service).busName), false);
    }

    bool waitForOwner(const QString& name, bool wanted)
    {
        for (int i = 0; i < 200; ++i) {
            if (bus().interface()->isServiceRegistered(name).value() == wanted)
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    // What the mock of `service` holds now, one text per inhibitor.
    QStringList held(Service service)
    {
        const MockInfo& info = kMocks.at(service);
        const bool logind = service == Service::Logind;
        QDBusMessage call = QDBusMessage::createMethodCall(
            QString::fromUtf8(info.busName), QString::fromUtf8(info.path),
            logind ? QStringLiteral("org.freedesktop.login1.Manager")
                   : QStringLiteral("org.freedesktop.DBus.Mock"),
            QStringLiteral("ListInhibitors"));
        const QDBusMessage reply = bus().call(call);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {QStringLiteral("error: ") + reply.errorMessage()};
        if (!logind)
            return reply.arguments().value(0).toStringList();
        // a(ssssuu): what, who, why, mode, uid, pid
        QStringList out;
        const auto arg = qvariant_cast<QDBusArgument>(reply.arguments().value(0));
        arg.beginArray();
        while (!arg.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            arg.beginStructure();
            arg >> what >> who >> why >> mode >> uid >> pid;
            arg.endStructure();
            out << what + QLatin1Char('|') + who + QLatin1Char('|') + mode;
        }
        arg.endArray();
        return out;
    }

    std::map<Service, std::unique_ptr<QProcess>> m_mocks;

private Q_SLOTS:
    void initTestCase()
    {
        if (!bus().isConnected())
            QSKIP("needs the private bus that ctest starts (dbus-run-session)");
        QProcess probe;
        probe.start(kPython, {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            QSKIP("python3-dbusmock is not installed");
    }

    void cleanup()
    {
        for (Service s : {Service::GnomeSessionManager, Service::PowerManagement, Service::Portal,
                          Service::Logind})
            stopMock(s);
        SystemSleep::setInhibitor(nullptr);
        Logging::setReceiver({});
    }

    // With all four present the first is used; taking each away hands over
    // to the next; each release reaches the service that granted it.
    void takesFromFirstPresentServiceInOrder()
    {
        const QList<Service> order{Service::GnomeSessionManager, Service::PowerManagement,
                                   Service::Portal, Service::Logind};
        for (Service s : order)
            QVERIFY2(startMock(s), kMocks.at(s).busName);

        SleepInhibitor inhibitor(bus(), systemStandIn());
        QSignalSpy finished(&inhibitor, &SleepInhibitor::finished);
        for (Service expected : order) {
            const QByteArray name = kMocks.at(expected).busName;
            finished.clear();
            inhibitor.inhibit(QStringLiteral("testing"));
            QVERIFY(inhibitor.isPending());
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
            QCOMPARE(finished.first().first().toBool(), true);
            QCOMPARE(inhibitor.service(), expected);
            for (Service other : order) {
                if (m_mocks.count(other))
                    QCOMPARE(held(other).size(), other == expected ? 1 : 0);
            }
            const QString entry = held(expected).value(0);
            switch (expected) {
            case Service::GnomeSessionManager:
                QVERIFY2(entry.startsWith(QLatin1String("org.corvane.Corvane|4|")),
                         qPrintable(entry));
                QVERIFY(entry.endsWith(QLatin1Char('|') + QString::number(inhibitor.cookie())));
                break;
            case Service::PowerManagement:
                QVERIFY(entry.endsWith(QLatin1Char('|') + QString::number(inhibitor.cookie())));
                break;
            case Service::Portal:
                QVERIFY2(entry.startsWith(QLatin1String("4|testing|")), qPrintable(entry));
                break;
            case Service::Logind:
                QCOMPARE(entry, QStringLiteral("idle|Corvane|block"));
                break;
            case Service::None:
                break;
            }

            inhibitor.release();
            QVERIFY(!inhibitor.isHeld());
            QTRY_VERIFY2_WITH_TIMEOUT(held(expected).isEmpty(), name, 10000);
            QVERIFY(stopMock(expected));
        }

        // Nobody left: the failure path.
        finished.clear();
        inhibitor.inhibit(QStringLiteral("testing"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(inhibitor.service(), Service::None);
    }

    void refusalHandsOverToNextService()
    {
        QVERIFY(startMock(Service::GnomeSessionManager, QStringLiteral("{\"fail\": true}")));
        QVERIFY(startMock(Service::PowerManagement));
        SleepInhibitor inhibitor(bus(), systemStandIn());
        QSignalSpy finished(&inhibitor, &SleepInhibitor::finished);
        inhibitor.inhibit(QStringLiteral("testing"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(inhibitor.service(), Service::PowerManagement);
    }

    // A release while the answer is still on its way must not leave the
    // inhibitor held by a late grant.
    void releaseWhilePendingGivesLateGrantBack()
    {
        QVERIFY(startMock(Service::GnomeSessionManager, QStringLiteral("{\"delay_ms\": 400}")));
        SleepInhibitor inhibitor(bus(), systemStandIn());
        QSignalSpy finished(&inhibitor, &SleepInhibitor::finished);
        inhibitor.inhibit(QStringLiteral("testing"));
        QTRY_COMPARE_WITH_TIMEOUT(held(Service::GnomeSessionManager).size(), 1, 10000);
        inhibitor.release();
        QTRY_VERIFY_WITH_TIMEOUT(held(Service::GnomeSessionManager).isEmpty(), 10000);
        QCOMPARE(finished.size(), 0);
        QVERIFY(!inhibitor.isHeld());
        QVERIFY(!inhibitor.isPending());
    }

    // SystemSleep on the real inhibitor: the take and release with their log
    // lines, and the inhibitor gone from the service afterwards.
    void systemSleepTakesAndReleases()
    {
        QVERIFY(startMock(Service::PowerManagement));
        QStringList lines;
        Logging::setReceiver([&lines](Logging::Level, const Logging::Category&,
                                      const QString& message) { lines << message; });
        SleepInhibitor inhibitor(bus(), systemStandIn());
        SystemSleep::setInhibitor(&inhibitor);
        SystemSleep::preventSleep();
        QTRY_COMPARE_WITH_TIMEOUT(SystemSleep::creationResult(), std::optional<qint32>(0), 10000);
        QVERIFY(lines.contains(QStringLiteral("Preventing system from idle sleeping")));
        QCOMPARE(SystemSleep::assertionID(), inhibitor.cookie());
        QCOMPARE(held(Service::PowerManagement).size(), 1);
        SystemSleep::allowSleep();
        QVERIFY(lines.contains(QStringLiteral("Allowing user idle sleep again")));
        QTRY_VERIFY_WITH_TIMEOUT(held(Service::PowerManagement).isEmpty(), 10000);
    }
};

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_SleepInhibitor.moc"
