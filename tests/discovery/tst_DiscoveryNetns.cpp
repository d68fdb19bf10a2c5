// The production SSDP path: multicast M-SEARCH on every interface, inside a
// private network namespace that netns-run.sh sets up.
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPNotifyListener.h"
#include "lab/FakeSpeaker.h"

#include <QtTest>

class TestDiscoveryNetns : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void findsSpeakerByMulticast()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_TEST_NETNS"))
            QSKIP("needs the network namespace of netns-run.sh");
        FakeSpeaker speaker({.firmware = FakeSpeaker::Config::Firmware::Old,
                             .coordinator = false,
                             .address = QHostAddress(QStringLiteral("10.99.0.2")),
                             .ssdpPort = 1900,
                             .multicast = true});
        QString error;
        QVERIFY2(speaker.start(&error), qPrintable(error));
        QList<DeviceTopology> topologies; // found through the speaker's own /status/topology
        DeviceDiscovery discovery(DeviceDiscovery::Options{}); // production SSDP settings
        connect(&discovery, &DeviceDiscovery::deviceDiscovered, &discovery,
                [&](const SSDPMSearchResponse&, const DeviceInfo&, const DeviceTopology& topology) {
                    topologies.append(topology);
                });
        discovery.searchForDevices(2.0);
        QTRY_COMPARE(topologies.size(), 1);
        QCOMPARE(topologies.first(), DeviceTopology(false, "RINCON_48A6B8C0FFEE01400:27"));
        QVERIFY(speaker.searches().first().contains("\r\nHOST: 239.255.255.250:1900\r\n"));
    }

    void hearsAnnouncementsOnTheGroup()
    {
        if (qEnvironmentVariableIsEmpty("CORVANE_TEST_NETNS"))
            QSKIP("needs the network namespace of netns-run.sh");
        FakeSpeaker speaker({.address = QHostAddress(QStringLiteral("10.99.0.2")),
                             .ssdpPort = 1900,
                             .multicast = true});
        QString error;
        QVERIFY2(speaker.start(&error), qPrintable(error));
        SSDPNotifyListener listener; // production settings: the group on port 1900
        QSignalSpy alive(&listener, &SSDPNotifyListener::alive);
        QSignalSpy byebye(&listener, &SSDPNotifyListener::byebye);
        QVERIFY(listener.start());
        listener.rejoin(); // as after a network change: still joined

        const QHostAddress group(QStringLiteral("239.255.255.250"));
        speaker.sendDatagram(speaker.ssdpNotify("ssdp:alive"), group, 1900);
        QTRY_COMPARE(alive.size(), 1);
        QCOMPARE(alive.first().at(0).toUrl(), speaker.location());
        speaker.sendDatagram(speaker.ssdpNotify("ssdp:byebye"), group, 1900);
        QTRY_COMPARE(byebye.size(), 1);
        QCOMPARE(byebye.first().first().toString(), QStringLiteral("RINCON_48A6B8C0FFEE01400"));
    }
};

QTEST_GUILESS_MAIN(TestDiscoveryNetns)
#include "tst_DiscoveryNetns.moc"
