// The production SSDP path: multicast M-SEARCH on every interface and
// announcements heard on the group, inside a private network namespace that
// netns-run.sh sets up.
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPNotifyListener.h"
#include "lab/FakeSpeaker.h"

#include <QtTest>

class TestDiscoveryNetns : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void findsAndHearsSpeakerByMulticast()
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
        DeviceDiscovery discovery(DeviceDiscovery::Options{}); // production SSDP settings
        QSignalSpy found(&discovery, &DeviceDiscovery::deviceDiscovered);
        discovery.searchForDevices(2.0);
        QTRY_COMPARE(found.size(), 1);
        // Found through the speaker's own /status/topology.
        QCOMPARE(found.first().at(2).value<DeviceTopology>(),
                 DeviceTopology(false, "RINCON_48A6B8C0FFEE01400:27"));
        QVERIFY(speaker.searches().first().contains("\r\nHOST: 239.255.255.250:1900\r\n"));

        SSDPNotifyListener listener; // production settings: the group on port 1900
        QSignalSpy alive(&listener, &SSDPNotifyListener::alive);
        QSignalSpy byebye(&listener, &SSDPNotifyListener::byebye);
        QVERIFY(listener.start());
        const QHostAddress group(QStringLiteral("239.255.255.250"));
        speaker.sendDatagram(speaker.ssdpNotify("ssdp:alive"), group, 1900);
        QTRY_COMPARE(alive.size(), 1);
        listener.rejoin(); // as after a network change: still joined
        speaker.sendDatagram(speaker.ssdpNotify("ssdp:byebye"), group, 1900);
        QTRY_COMPARE(byebye.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDiscoveryNetns)
#include "tst_DiscoveryNetns.moc"
