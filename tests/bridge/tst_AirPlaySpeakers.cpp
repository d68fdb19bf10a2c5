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

    QDBusMessage mock(const QString& method, const QVariantList& arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(QString::fromLatin1(AirPlayReceivers::serviceName),
                                           QStringLiteral("/org/corvane/test/Avahi"),
                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call);
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
        QVERIFY(QTest::qWaitFor(
            [&] { return mock("ListBrowsers").type() == QDBusMessage::ReplyMessage; }, 10000));
    }
    void cleanupTestCase()
    {
        m_mock.kill();
        m_mock.waitForFinished(5000);
    }

    void flaggedAndSkippedWhenAsked()
    {
        Household home;
        Settings& settings = home.settings;
        DeviceDiscovery& discovery = home.discovery;
        AirConnect& bridge = home.bridge;
        AirPlayReceivers::Options avahi;
        avahi.bus = QDBusConnection::sessionBus();
        avahi.ownAddresses = {QHostAddress(QStringLiteral("198.51.100.99"))};
        AirPlayReceivers receivers(avahi);
        BridgeController controller({&settings, &discovery, &bridge, &receivers, {}});
        LogCapture log;

        // Kitchen plays AirPlay; Den does not; this computer's own receiver never counts.
        QVERIFY(mock("AddService",
                     {"Kitchen", "_airplay._tcp", "198.51.100.7", "kitchen.local",
                      QVariant::fromValue(quint16(7000)), QVariant::fromValue(QByteArrayList{})})
                    .type() == QDBusMessage::ReplyMessage);
        QVERIFY(mock("AddService",
                     {"Den", "_airplay._tcp", "198.51.100.99", "me.local",
                      QVariant::fromValue(quint16(7000)), QVariant::fromValue(QByteArrayList{})})
                    .type() == QDBusMessage::ReplyMessage);
        controller.launch();
        const DeviceInfo kitchen = speakerAt("198.51.100.7", "Kitchen", "uuid:RINCON_K");
        const DeviceInfo den = speakerAt("198.51.100.99", "Den", "uuid:RINCON_D");
        emit discovery.deviceDiscovered({}, kitchen, DeviceTopology(true, "K"));
        emit discovery.deviceDiscovered({}, den, DeviceTopology(true, "D"));
        QTRY_VERIFY(settings.device(kitchen.location)->airPlayService);
        QCOMPARE(*settings.device(kitchen.location)->airPlayService, QStringLiteral("Kitchen"));
        QVERIFY(log.inOrder({"Kitchen - One plays AirPlay itself (Kitchen)"}));
        QVERIFY(!settings.device(den.location)->airPlayService);

        // Off by default: both bridged.
        for (const DeviceSettings& record : controller.bridgeRecords())
            QVERIFY(record.isBridged());
        // Skipped: written disabled, the user's own choice left alone, saved.
        controller.setSkipAirPlaySpeakers(true);
        QVERIFY(Settings(home.store).skipAirPlaySpeakers);
        discovery.stopSearching();
        QTRY_VERIFY(bridge.isRunning());
        QFile file(bridge.configPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString config = QString::fromUtf8(file.readAll());
        const qsizetype at = config.indexOf("<name>Kitchen - One</name>");
        QVERIFY(at > 0);
        QVERIFY(config.mid(at, 60).contains("<enabled>0</enabled>"));
        QVERIFY(settings.device(kitchen.location)->enabled);
        controller.setSkipAirPlaySpeakers(false);
        for (const DeviceSettings& record : controller.bridgeRecords())
            QVERIFY(record.isBridged());

        controller.shutdown(2000);
    }
};

QTEST_GUILESS_MAIN(TestAirPlaySpeakers)
#include "tst_AirPlaySpeakers.moc"
