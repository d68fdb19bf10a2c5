// The production SSDP path: multicast M-SEARCH on every interface, inside a
// private network namespace that netns-run.sh sets up.
#include "LogCapture.h"
#include "discovery/DeviceDiscovery.h"
#include "platform/NotificationCenter.h"
#include "support/FakeSpeaker.h"

#include <QtTest>

class TestDiscoveryNetns : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_TEST_NETNS"))
            QSKIP("needs the network namespace of netns-run.sh");
    }

    void findsSpeakerByMulticast_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::newRow("current firmware") << int(FakeSpeaker::Config::Firmware::Current);
        QTest::newRow("old firmware") << int(FakeSpeaker::Config::Firmware::Old);
    }

    void findsSpeakerByMulticast()
    {
        QFETCH(int, firmware);
        LogCapture log;
        FakeSpeaker::Config config;
        config.address = QHostAddress(QStringLiteral("10.99.0.2"));
        config.multicast = true;
        config.ssdpPort = 1900;
        config.httpPort = 1400;
        config.firmware = FakeSpeaker::Config::Firmware(firmware);
        config.coordinator = false;
        FakeSpeaker speaker(config);
        QString error;
        QVERIFY2(speaker.start(&error), qPrintable(error));

        QList<DeviceTopology> topologies;
        QList<QUrl> locations;
        const auto connection =
            connect(&NotificationCenter::shared(), &NotificationCenter::deviceDiscovered, this,
                    [&](const SSDPMSearchResponse& response, const DeviceInfo&,
                        const DeviceTopology& topology) {
                        locations.append(response.location);
                        topologies.append(topology);
                    });
        DeviceDiscovery discovery(DeviceDiscovery::Options{}); // production SSDP settings
        discovery.searchForDevices(2.0);
        QTRY_COMPARE(locations.size(), 1);
        discovery.stopSearching();
        disconnect(connection);

        QCOMPARE(locations.first(),
                 QUrl(QStringLiteral("http://10.99.0.2:1400/xml/device_description.xml")));
        QCOMPARE(topologies.first(),
                 DeviceTopology(false, QStringLiteral("RINCON_48A6B8C0FFEE01400:27")));
        QVERIFY(!speaker.searches().isEmpty());
        QVERIFY(speaker.searches().first().contains("\r\nHOST: 239.255.255.250:1900\r\n"));
        QVERIFY(log.find(QStringLiteral("No network interface")) < 0);
    }
};

QTEST_GUILESS_MAIN(TestDiscoveryNetns)
#include "tst_DiscoveryNetns.moc"
