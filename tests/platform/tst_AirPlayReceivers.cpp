// Runs inside a private bus (dbus-run-session with tests/dbus/session.conf),
// which stands in for the system bus; tests/dbus-mocks/avahi.py plays Avahi.
#include "platform/AirPlayReceivers.h"

#include "support/LogCapture.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QNetworkInterface>
#include <QtTest>

namespace {

const QString kAirPlay = QStringLiteral("_airplay._tcp");
const QString kRaop = QStringLiteral("_raop._tcp");
const QHostAddress kSpeaker(QStringLiteral("198.51.100.10"));
const QHostAddress kOwn(QStringLiteral("198.51.100.99"));
// Announced after the service under test: once it is found, so is the other.
const QHostAddress kMarker(QStringLiteral("198.51.100.200"));
const QString kAbsent = QStringLiteral("Avahi is not available");

using Txt = QList<QByteArray>;

} // namespace

class TestAirPlayReceivers : public QObject {
    Q_OBJECT

    QProcess m_mock;

    static QDBusConnection bus() { return QDBusConnection::sessionBus(); }

    static AirPlayReceivers::Options options()
    {
        AirPlayReceivers::Options options;
        options.bus = bus();
        options.ownAddresses = {kOwn};
        options.callTimeoutMs = 5000;
        return options;
    }

    QDBusMessage mock(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QString::fromLatin1(AirPlayReceivers::serviceName),
                                           QStringLiteral("/org/corvane/test/Avahi"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        return bus().call(call);
    }
    bool add(const QString& name, const QString& type, const QString& address, const Txt& txt = {},
             const QString& host = QStringLiteral("speaker.local"))
    {
        const QDBusMessage reply =
            mock(QStringLiteral("AddService"),
                 {name, type, address, host, QVariant::fromValue(quint16(7000)),
                  QVariant::fromValue(txt)});
        if (reply.type() != QDBusMessage::ReplyMessage)
            qWarning() << reply.errorMessage();
        return reply.type() == QDBusMessage::ReplyMessage;
    }
    bool remove(const QString& name, const QString& type)
    {
        return mock(QStringLiteral("RemoveService"), {name, type}).type() ==
               QDBusMessage::ReplyMessage;
    }
    QStringList browsers()
    {
        return mock(QStringLiteral("ListBrowsers")).arguments().value(0).toStringList();
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
               QTest::qWaitFor(
                   [&] {
                       return mock(QStringLiteral("ListBrowsers")).type() ==
                              QDBusMessage::ReplyMessage;
                   },
                   10000);
    }
    void stopMock()
    {
        if (m_mock.state() == QProcess::NotRunning)
            return;
        m_mock.kill();
        m_mock.waitForFinished(5000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qDBusRegisterMetaType<QByteArrayList>();
        // The speakers' addresses must not be this machine's.
        const QList<QHostAddress> own = QNetworkInterface::allAddresses();
        for (const QHostAddress& address : {kSpeaker, kOwn, kMarker})
            QVERIFY2(!own.contains(address), qPrintable(address.toString()));
    }
    void cleanup() { stopMock(); }

    // Which announced services count, and under which name. Each row's
    // service is on the mock before browsing starts, so it is reported as
    // soon as the browser exists; a marker follows once browsing runs.
    void reportsServicesAtOtherHosts_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected"); // empty: not a receiver

        const QString speaker = kSpeaker.toString();
        QTest::newRow("AirPlay") << kAirPlay << "Kitchen" << speaker << "Kitchen";
        QTest::newRow("RAOP, device id dropped")
            << kRaop << "48A6B8C0FFEE@Kitchen" << speaker << "Kitchen";
        QTest::newRow("own address given") << kAirPlay << "Bridged" << kOwn.toString() << "";
        QTest::newRow("own loopback address") << kRaop << "AA@Bridged"
                                              << "127.0.0.1"
                                              << "";
        QTest::newRow("IPv6 address") << kAirPlay << "Six"
                                      << "fe80::1"
                                      << "";
        QTest::newRow("garbage address") << kAirPlay << "Junk"
                                         << "not an address"
                                         << "";
        QTest::newRow("control characters")
            << kAirPlay << "Bad\x1b[31m\aName" << speaker << "Bad\uFFFD[31m\uFFFDName";
        QTest::newRow("name beyond 255 bytes") << kAirPlay << QString(256, u'x') << speaker << "";
    }
    void reportsServicesAtOtherHosts()
    {
        QFETCH(QString, type);
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        QVERIFY(startMock());
        QVERIFY(add(name, type, address));

        AirPlayReceivers receivers(options());
        QSignalSpy found(&receivers, &AirPlayReceivers::receiverFound);
        QSignalSpy available(&receivers, &AirPlayReceivers::availabilityChanged);
        receivers.start();
        QTRY_COMPARE(available.size(), 1);
        QVERIFY(available.first().first().toBool());
        QVERIFY(add(QStringLiteral("Marker"), kAirPlay, kMarker.toString()));
        QTRY_COMPARE(receivers.serviceAt(kMarker), QStringLiteral("Marker"));

        const QHostAddress host(address);
        if (expected.isEmpty()) {
            QCOMPARE(found.size(), 1);
            QCOMPARE(receivers.serviceAt(host), std::nullopt);
            QCOMPARE(receivers.addresses(), QList<QHostAddress>{kMarker});
        } else {
            QCOMPARE(found.size(), 2);
            QCOMPARE(found.first().value(0).value<QHostAddress>(), host);
            QCOMPARE(found.first().value(1).toString(), expected);
            QCOMPARE(receivers.serviceAt(host), expected);
        }
        // IPv4 only, on every interface, in the default domain.
        QCOMPARE(browsers(), (QStringList{QStringLiteral("-1|0|_airplay._tcp||0"),
                                          QStringLiteral("-1|0|_raop._tcp||0")}));
    }

    // A speaker with both services stays a receiver until the last one goes,
    // and its details come along; the browsers are freed when we go.
    void forgetsRemovedServices()
    {
        QVERIFY(startMock());
        {
            AirPlayReceivers receivers(options());
            QSignalSpy found(&receivers, &AirPlayReceivers::receiverFound);
            QSignalSpy removed(&receivers, &AirPlayReceivers::receiverRemoved);
            receivers.start();
            QTRY_COMPARE(browsers().size(), 2);
            // Gone while being resolved: each gives its resolution slot back.
            QVERIFY(mock(QStringLiteral("AddServices"),
                         {QStringLiteral("Gone"), kRaop, 8u, QStringLiteral("198.51.100.60")})
                        .type() == QDBusMessage::ReplyMessage);
            for (int i = 0; i < 8; ++i)
                QVERIFY(remove(QStringLiteral("Gone%1").arg(i), kRaop));
            QVERIFY(add(QStringLiteral("AA@Kitchen"), kRaop, kSpeaker.toString(),
                        {"model=Sonos One", "flag", "=novalue", "MODEL=second"}));
            QVERIFY(add(QStringLiteral("Kitchen"), kAirPlay, kSpeaker.toString()));
            QTRY_COMPARE(receivers.servicesAt(kSpeaker).size(), 2);
            QCOMPARE(found.size(), 1);
            const auto raop = receivers.servicesAt(kSpeaker).value(0);
            QCOMPARE(raop.port, quint16(7000));
            QCOMPARE(raop.host, QStringLiteral("speaker.local"));
            const QMap<QString, QString> txt{{QStringLiteral("model"), QStringLiteral("Sonos One")},
                                             {QStringLiteral("flag"), QString()}};
            QCOMPARE(raop.txt, txt);

            QVERIFY(remove(QStringLiteral("Kitchen"), kAirPlay));
            QTRY_COMPARE(receivers.trackedServiceCount(), 1);
            QCOMPARE(receivers.serviceAt(kSpeaker), QStringLiteral("Kitchen"));
            QVERIFY(remove(QStringLiteral("AA@Kitchen"), kRaop));
            QTRY_COMPARE(removed.size(), 1);
            QCOMPARE(removed.first().first().value<QHostAddress>(), kSpeaker);
            QCOMPARE(receivers.serviceAt(kSpeaker), std::nullopt);
            QCOMPARE(receivers.trackedServiceCount(), 0);
            QCOMPARE(found.size(), 1);
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
        const auto absentLines = [&] {
            return std::count_if(log.lines.begin(), log.lines.end(), [](const auto& line) {
                return std::get<2>(line).startsWith(kAbsent);
            });
        };
        QCOMPARE(absentLines(), 1);
        QVERIFY(log.has(Logging::Level::Info, QStringLiteral("AirPlay"), kAbsent));
        QVERIFY(!receivers.isBrowsing());

        QVERIFY(startMock());
        QVERIFY(add(QStringLiteral("Kitchen"), kAirPlay, kSpeaker.toString()));
        QTRY_COMPARE(receivers.serviceAt(kSpeaker), QStringLiteral("Kitchen"));

        stopMock();
        QTRY_COMPARE(removed.size(), 1);
        QCOMPARE(receivers.serviceAt(kSpeaker), std::nullopt);
        QVERIFY(!receivers.isBrowsing());
        QCOMPARE(absentLines(), 1); // leaving is reported on its own line

        const QHostAddress other(QStringLiteral("198.51.100.11"));
        QVERIFY(startMock());
        QVERIFY(add(QStringLiteral("Office"), kAirPlay, other.toString()));
        QTRY_COMPARE(receivers.serviceAt(other), QStringLiteral("Office"));
        QCOMPARE(receivers.addresses(), QList<QHostAddress>{other});
        QCOMPARE(found.size(), 2);
        QCOMPARE(browsers().size(), 2);
    }

    // What the network sends is bounded: TXT records by count and size, host
    // names by length, services by number (with one warning).
    void boundsHostileInput()
    {
        QVERIFY(startMock());
        LogCapture log;
        AirPlayReceivers receivers(options());
        receivers.start();
        QTRY_COMPARE(browsers().size(), 2);

        Txt txt;
        for (int i = 0; i < 5000; ++i)
            txt.append("k" + QByteArray::number(i) + '=' + QByteArray(200, 'v'));
        txt.prepend("long=" + QByteArray(100000, 'x'));
        txt.prepend("ctl\x01key=x");
        txt.prepend("model=A\x1b[2J");
        QVERIFY(
            add(QStringLiteral("Huge"), kAirPlay, kSpeaker.toString(), txt, QString(100000, u'h')));
        QTRY_COMPARE(receivers.servicesAt(kSpeaker).size(), 1);
        const auto receiver = receivers.servicesAt(kSpeaker).first();
        QCOMPARE(receiver.host.size(), 255);
        qsizetype bytes = 0;
        for (auto it = receiver.txt.begin(); it != receiver.txt.end(); ++it)
            bytes += it.key().size() + it.value().size();
        QVERIFY2(bytes <= 2048, qPrintable(QString::number(bytes)));
        QCOMPARE(receiver.txt.value(QStringLiteral("model")), QStringLiteral("A\uFFFD[2J"));
        QVERIFY(!receiver.txt.contains(QStringLiteral("long")));
        QVERIFY(!receiver.txt.contains(QStringLiteral("ctl\x01key")));
        QVERIFY(receiver.txt.contains(QStringLiteral("k0")));

        Txt many;
        for (int i = 0; i < 5000; ++i)
            many.append("t" + QByteArray::number(i));
        const QHostAddress other(QStringLiteral("198.51.100.11"));
        QVERIFY(add(QStringLiteral("Many"), kAirPlay, other.toString(), many));
        QTRY_COMPARE(receivers.servicesAt(other).size(), 1);
        QCOMPARE(receivers.servicesAt(other).first().txt.size(), 64);

        QVERIFY(mock(QStringLiteral("AddServices"),
                     {QStringLiteral("Flood"), kRaop, 1000u, QStringLiteral("198.51.100.50")})
                    .type() == QDBusMessage::ReplyMessage);
        // Two services are tracked already.
        const QHostAddress flood(QStringLiteral("198.51.100.50"));
        QTRY_COMPARE(receivers.servicesAt(flood).size(), 254);
        QCOMPARE(receivers.trackedServiceCount(), 256);
        const auto warnings = std::count_if(log.lines.begin(), log.lines.end(), [](const auto& l) {
            return std::get<0>(l) == Logging::Level::Warning &&
                   std::get<2>(l).startsWith(u"More than 256 AirPlay services");
        });
        QCOMPARE(warnings, 1);
    }
};

QTEST_GUILESS_MAIN(TestAirPlayReceivers)
#include "tst_AirPlayReceivers.moc"
