// Speakers that play AirPlay themselves, found through a mock Avahi on a
// private bus (tests/dbus-mocks/avahi.py), flagged, and skipped when asked.
#include "bridge/BridgeController.h"
#include "platform/AirPlayReceivers.h"
#include "support/Household.h"
#include "support/LogCapture.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QProcess>
#include <QtTest>

class TestAirPlaySpeakers : public QObject {
    Q_OBJECT
    QProcess m_mock;

    bool mock(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QString::fromLatin1(AirPlayReceivers::serviceName),
                                           QStringLiteral("/org/corvane/test/Avahi"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call).type() == QDBusMessage::ReplyMessage;
    }
    bool addAirPlay(const QString& name, const QString& address, const QString& host)
    {
        return mock("AddService",
                    {name, "_airplay._tcp", address, host, QVariant::fromValue(quint16(7000)),
                     QVariant::fromValue(QByteArrayList{})});
    }

private Q_SLOTS:
    void initTestCase()
    {
        qDBusRegisterMetaType<QByteArrayList>();
        m_mock.setStandardOutputFile(QProcess::nullDevice());
        m_mock.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                      QStringLiteral("--template"), QStringLiteral(DBUS_MOCKS_DIR "/avahi.py")});
        QVERIFY(m_mock.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return mock("ListBrowsers"); }, 10000));
    }
    void cleanupTestCase()
    {
        m_mock.kill();
        m_mock.waitForFinished(5000);
    }

    void flaggedAndSkippedWhenAsked()
    {
        Household home;
        AirPlayReceivers::Options avahi;
        avahi.bus = QDBusConnection::sessionBus();
        avahi.ownAddresses = {QHostAddress(QStringLiteral("198.51.100.99"))};
        AirPlayReceivers receivers(avahi);
        BridgeController controller(
            {&home.settings, &home.discovery, &home.bridge, &receivers, {}});
        LogCapture log;

        // Kitchen plays AirPlay; Den does not; this computer's own receiver never counts.
        QVERIFY(addAirPlay("Kitchen", "198.51.100.7", "kitchen.local"));
        QVERIFY(addAirPlay("Den", "198.51.100.99", "me.local"));
        controller.launch();
        const DeviceInfo kitchen = speakerAt("198.51.100.7", "Kitchen", "uuid:RINCON_K");
        home.discover(kitchen);
        home.discover(speakerAt("198.51.100.99", "Den", "uuid:RINCON_D"));
        QTRY_VERIFY(home.settings.device(kitchen.location)->airPlayService);
        QCOMPARE(*home.settings.device(kitchen.location)->airPlayService, "Kitchen");
        QVERIFY(log.inOrder({"Kitchen - One plays AirPlay itself (Kitchen)"}));
        QVERIFY(!home.settings.device(locationOf("198.51.100.99"))->airPlayService);

        // Off by default: both bridged.
        for (const DeviceSettings& record : controller.bridgeRecords())
            QVERIFY(record.isBridged());
        // Skipped: written disabled, the user's own choice left alone, saved.
        controller.setSkipAirPlaySpeakers(true);
        QVERIFY(Settings(home.store).skipAirPlaySpeakers);
        home.discovery.stopSearching();
        QTRY_VERIFY(home.bridge.isRunning());
        QVERIFY(home.config().contains("<name>Kitchen - One</name>\n  <enabled>0</enabled>"));
        QVERIFY(home.settings.device(kitchen.location)->enabled);
        controller.setSkipAirPlaySpeakers(false);
        for (const DeviceSettings& record : controller.bridgeRecords())
            QVERIFY(record.isBridged());

        controller.shutdown(2000);
    }
};

QTEST_GUILESS_MAIN(TestAirPlaySpeakers)
#include "tst_AirPlaySpeakers.moc"
