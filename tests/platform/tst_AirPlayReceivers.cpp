// Runs inside a private bus (dbus-run-session with tests/dbus/session.conf),
// which stands in for the system bus; tests/dbus-mocks/avahi.py plays Avahi.
#include "platform/AirPlayReceivers.h"

#include "support/LogCapture.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QtTest>

namespace {

const QString kAirPlay = QStringLiteral("_airplay._tcp");
const QString kRaop = QStringLiteral("_raop._tcp");
// Documentation addresses (RFC 5737), never this machine's.
const QHostAddress kSpeaker(QStringLiteral("198.51.100.10"));
const QHostAddress kOther(QStringLiteral("198.51.100.11"));
const QHostAddress kOwn(QStringLiteral("198.51.100.99"));

using Txt = QList<QByteArray>;

} // namespace

class TestAirPlayReceivers : public QObject {
    Q_OBJECT

    QProcess m_mock;

    static AirPlayReceivers::Options options()
    {
        return {
            .bus = QDBusConnection::sessionBus(), .ownAddresses = {kOwn}, .callTimeoutMs = 5000};
    }

    bool mock(const QString& method, const QVariantList& arguments = {},
              QVariantList* answer = nullptr)
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QString::fromLatin1(AirPlayReceivers::serviceName),
                                           QStringLiteral("/org/corvane/test/Avahi"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
        if (answer)
            *answer = reply.arguments();
        return reply.type() == QDBusMessage::ReplyMessage;
    }
    bool add(const QString& name, const QString& type, const QString& address, const Txt& txt = {},
             const QString& host = QStringLiteral("speaker.local"))
    {
        return mock(QStringLiteral("AddService"),
                    {name, type, address, host, QVariant::fromValue(quint16(7000)),
                     QVariant::fromValue(txt)});
    }
    bool remove(const QString& name, const QString& type)
    {
        return mock(QStringLiteral("RemoveService"), {name, type});
    }
    QStringList browsers()
    {
        QVariantList answer;
        mock(QStringLiteral("ListBrowsers"), {}, &answer);
        return answer.value(0).toStringList();
    }

    bool startMock()
    {
        m_mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                      QStringLiteral("--template"), QStringLiteral(DBUS_MOCKS_DIR "/avahi.py")});
        // It answers once it has its name.
        return m_mock.waitForStarted() &&
               QTest::qWaitFor([&] { return mock(QStringLiteral("ListBrowsers")); }, 10000);
    }
    void stopMock()
    {
        m_mock.kill();
        m_mock.waitForFinished(5000);
    }

private Q_SLOTS:
    void initTestCase() { qDBusRegisterMetaType<QByteArrayList>(); }
    void cleanup() { stopMock(); }

    // Which announced services count, and under which name: those there
    // before browsing starts are reported as soon as the browsers exist, and
    // a marker announced afterwards is resolved last. A speaker with both
    // services stays a receiver until the last one goes, and its details come
    // along, bounded: TXT records by count and size, host names by length,
    // services by number (with one warning). The browsers are freed when we go.
    void tracksServicesAtOtherHosts()
    {
        const QHostAddress bad(QStringLiteral("198.51.100.12"));
        const QHostAddress tooLong(QStringLiteral("198.51.100.13"));
        const QHostAddress marker(QStringLiteral("198.51.100.200"));
        QVERIFY(startMock());
        QVERIFY(add(QStringLiteral("48A6B8C0FFEE@Office"), kRaop, kOther.toString()));
        QVERIFY(add(QStringLiteral("Bridged"), kAirPlay, kOwn.toString()));
        QVERIFY(add(QStringLiteral("AA@Bridged"), kRaop, QStringLiteral("127.0.0.1")));
        QVERIFY(add(QStringLiteral("Six"), kAirPlay, QStringLiteral("fe80::1")));
        QVERIFY(add(QStringLiteral("Bad\x1b[31m\aName"), kAirPlay, bad.toString()));
        QVERIFY(add(QString(256, u'x'), kAirPlay, tooLong.toString()));
        LogCapture log;
        {
            AirPlayReceivers receivers(options());
            QSignalSpy found(&receivers, &AirPlayReceivers::receiverFound);
            QSignalSpy removed(&receivers, &AirPlayReceivers::receiverRemoved);
            QSignalSpy available(&receivers, &AirPlayReceivers::availabilityChanged);
            receivers.start();
            QTRY_COMPARE(available.size(), 1);
            QVERIFY(available.first().first().toBool());
            QVERIFY(add(QStringLiteral("Marker"), kAirPlay, marker.toString()));
            QTRY_COMPARE(receivers.serviceAt(marker), QStringLiteral("Marker"));
            QCOMPARE(found.size(), 3);
            QCOMPARE(receivers.serviceAt(kOther), QStringLiteral("Office"));
            QCOMPARE(receivers.serviceAt(bad), QStringLiteral("Bad\uFFFD[31m\uFFFDName"));
            QCOMPARE(receivers.addresses().size(), 3);
            // IPv4 only, on every interface, in the default domain.
            QCOMPARE(browsers(), (QStringList{QStringLiteral("-1|0|_airplay._tcp||0"),
                                              QStringLiteral("-1|0|_raop._tcp||0")}));
            const int tracked = receivers.trackedServiceCount();

            // Gone while being resolved: each gives its resolution slot back.
            QVERIFY(mock(QStringLiteral("AddServices"),
                         {QStringLiteral("Gone"), kRaop, 8u, QStringLiteral("198.51.100.60")}));
            for (int i = 0; i < 8; ++i)
                QVERIFY(remove(QStringLiteral("Gone%1").arg(i), kRaop));
            Txt txt{"model=A\x1b[2J", "flag",         "=novalue",
                    "MODEL=second",   "ctl\x01key=x", "long=" + QByteArray(100000, 'x')};
            for (int i = 0; i < 5000; ++i)
                txt.append("k" + QByteArray::number(i) + '=' + QByteArray(200, 'v'));
            QVERIFY(add(QStringLiteral("AA@Kitchen"), kRaop, kSpeaker.toString(), txt,
                        QString(100000, u'h')));
            QVERIFY(add(QStringLiteral("Kitchen"), kAirPlay, kSpeaker.toString()));
            QTRY_COMPARE(receivers.servicesAt(kSpeaker).size(), 2);
            QCOMPARE(found.size(), 4);
            QCOMPARE(found.last().value(0).value<QHostAddress>(), kSpeaker);
            QCOMPARE(found.last().value(1).toString(), QStringLiteral("Kitchen"));
            const auto raop = receivers.servicesAt(kSpeaker).value(0);
            QCOMPARE(raop.port, quint16(7000));
            QCOMPARE(raop.host, QString(255, u'h'));
            QCOMPARE(raop.txt.size(), 12); // k0 to k9 fit the 2048 bytes after model and flag
            QCOMPARE(raop.txt.value(QStringLiteral("model")), QStringLiteral("A\uFFFD[2J"));
            QVERIFY(raop.txt.contains(QStringLiteral("flag")));
            QVERIFY(!raop.txt.contains(QString()) && !raop.txt.contains(QStringLiteral("long")));
            QVERIFY(!raop.txt.contains(QStringLiteral("ctl\x01key")));

            QVERIFY(remove(QStringLiteral("Kitchen"), kAirPlay));
            QTRY_COMPARE(receivers.trackedServiceCount(), tracked + 1);
            QCOMPARE(receivers.serviceAt(kSpeaker), QStringLiteral("Kitchen"));
            QVERIFY(remove(QStringLiteral("AA@Kitchen"), kRaop));
            QTRY_COMPARE(removed.size(), 1);
            QCOMPARE(removed.first().first().value<QHostAddress>(), kSpeaker);
            QCOMPARE(receivers.serviceAt(kSpeaker), std::nullopt);
            QCOMPARE(receivers.trackedServiceCount(), tracked);
            QCOMPARE(found.size(), 4);

            Txt many;
            for (int i = 0; i < 5000; ++i)
                many.append("t" + QByteArray::number(i));
            QVERIFY(add(QStringLiteral("Many"), kAirPlay, kSpeaker.toString(), many));
            QTRY_COMPARE(receivers.servicesAt(kSpeaker).size(), 1);
            QCOMPARE(receivers.servicesAt(kSpeaker).first().txt.size(), 64);

            const QHostAddress flood(QStringLiteral("198.51.100.50"));
            QVERIFY(mock(QStringLiteral("AddServices"),
                         {QStringLiteral("Flood"), kRaop, 1000u, flood.toString()}));
            QTRY_COMPARE(receivers.servicesAt(flood).size(), 256 - tracked - 1);
            QCOMPARE(receivers.trackedServiceCount(), 256);
            QCOMPARE(log.lines.count({Logging::Level::Warning, QStringLiteral("AirPlay"),
                                      QStringLiteral("More than 256 AirPlay services: ignoring "
                                                     "the rest")}),
                     1);
        }
        QTRY_COMPARE(browsers(), QStringList());
    }

    // Without Avahi: one line, nothing found, no retries. Avahi appearing
    // starts browsing; a restarted Avahi's receivers replace the old ones.
    void followsAvahiOnTheBus()
    {
        LogCapture log;
        AirPlayReceivers receivers(options());
        QSignalSpy found(&receivers, &AirPlayReceivers::receiverFound);
        QSignalSpy removed(&receivers, &AirPlayReceivers::receiverRemoved);
        QSignalSpy available(&receivers, &AirPlayReceivers::availabilityChanged);
        receivers.start();
        QTRY_COMPARE(available.size(), 1);
        QCOMPARE(available.first().first().toBool(), false);
        QTest::qWait(200);
        const LogCapture::Line absent{Logging::Level::Info, QStringLiteral("AirPlay"),
                                      QStringLiteral("Avahi is not available: speakers that play "
                                                     "AirPlay themselves are not detected")};
        QCOMPARE(log.lines.count(absent), 1);
        QVERIFY(!receivers.isBrowsing());

        QVERIFY(startMock());
        QVERIFY(add(QStringLiteral("Kitchen"), kAirPlay, kSpeaker.toString()));
        QTRY_COMPARE(receivers.serviceAt(kSpeaker), QStringLiteral("Kitchen"));

        stopMock();
        QTRY_COMPARE(removed.size(), 1);
        QCOMPARE(receivers.serviceAt(kSpeaker), std::nullopt);
        QVERIFY(!receivers.isBrowsing());
        QCOMPARE(log.lines.count(absent), 1); // leaving is reported on its own line

        QVERIFY(startMock());
        QVERIFY(add(QStringLiteral("Office"), kAirPlay, kOther.toString()));
        QTRY_COMPARE(receivers.serviceAt(kOther), QStringLiteral("Office"));
        QCOMPARE(found.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestAirPlayReceivers)
#include "tst_AirPlayReceivers.moc"
