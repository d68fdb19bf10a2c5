#include "Version.h"
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPDiscoverySession.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"
#include "support/TestData.h"

#include <QtTest>

namespace {

using namespace std::chrono_literals;
using Config = FakeSpeaker::Config;
const QString kUdn = QStringLiteral("RINCON_48A6B8C0FFEE01400");
const QString kGroup = kUdn + QStringLiteral(":27");
const QStringList kFetches{"GET /xml/device_description.xml", "GET /status/topology",
                           "POST /ZoneGroupTopology/Control"};

// Searches the fake speaker only (or nobody), with short timers.
DeviceDiscovery::Options optionsFor(const FakeSpeaker* speaker = nullptr)
{
    DeviceDiscovery::Options options;
    options.ssdp.destinations.clear();
    if (speaker)
        options.ssdp.destinations.append({speaker->config().address, speaker->ssdpPort()});
    options.ssdp.retransmitInterval = 20ms;
    options.http.transferTimeout = 500ms;
    return options;
}

} // namespace

class TestDeviceDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void announcesHealthySpeaker()
    {
        FakeSpeaker speaker({.answersPerSearch = 2});
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor(&speaker));
        QSignalSpy started(&discovery, &DeviceDiscovery::discoveryStarted);
        QSignalSpy complete(&discovery, &DeviceDiscovery::discoveryComplete);
        QSignalSpy found(&discovery, &DeviceDiscovery::deviceDiscovered);

        discovery.searchForDevices(1.0);
        QVERIFY(discovery.isSearching());
        QCOMPARE(started.size(), 1);
        QTRY_COMPARE(complete.size(), 1);
        QVERIFY(!discovery.isSearching()); // ended by its time-out
        // Three M-SEARCHes, each answered twice: announced once.
        QCOMPARE(found.size(), 1);
        QCOMPARE(speaker.searches().size(), 3);
        QCOMPARE(speaker.searches().first(),
                 QStringLiteral("M-SEARCH * HTTP/1.1\r\nHOST: 127.0.0.2:%1\r\nMAN: "
                                "\"ssdp:discover\"\r\nMX: 1\r\nST: urn:schemas-upnp-org:device:"
                                "ZonePlayer:1\r\nUSER-AGENT: Linux UPnP/1.1 Corvane/%2\r\n\r\n")
                     .arg(speaker.ssdpPort())
                     .arg(corvane::kVersion)
                     .toLatin1());

        const auto response = found.first().at(0).value<SSDPMSearchResponse>();
        const auto info = found.first().at(1).value<DeviceInfo>();
        QCOMPARE(response.usn, speaker.usn());
        QCOMPARE(response.maxAge, 1800);
        QCOMPARE(info.server, QStringLiteral("Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)"));
        QCOMPARE(found.first().at(2).value<DeviceTopology>(), DeviceTopology(true, kGroup));
        QCOMPARE(discovery.devices(), (QHash<QUrl, DeviceInfo>{{speaker.location(), info}}));
        QCOMPARE(speaker.requests(), kFetches);   // one after the other, never overlapping
        QVERIFY(discovery.isHouseholdComplete()); // it lists only itself

        // A new search announces it again, and so does every further answer handed
        // on (the SSDP client passes repeats only across sessions).
        discovery.searchForDevices(std::nullopt);
        QVERIFY(!discovery.isHouseholdComplete()); // each search counts afresh
        discovery.discoveredDevice(response, *discovery.session());
        QTRY_COMPARE(found.size(), 3);
        QCOMPARE(discovery.devices().size(), 1);

        // Stopping completes twice, from stopSearching and from the session's
        // close; with nothing running, once.
        complete.clear();
        discovery.stopSearching();
        QVERIFY(!discovery.isSearching());
        discovery.stopSearching();
        QCOMPARE(complete.size(), 3);
    }

    void fetchesDescriptionAndTopology_data()
    {
        QTest::addColumn<Config>("config");
        QTest::addColumn<DeviceTopology>("topology"); // none: not announced
        QTest::addColumn<int>("fetches");
        QTest::addColumn<QString>("logged"); // why it was not announced

        // alone: no topology could be had; unlisted: the speaker's own documents leave it out.
        const DeviceTopology none, member(false, kGroup), alone(true, kUdn), unlisted(false, kUdn);
        const QString badXml = "fetchDeviceInfo failed: Error Domain=InvalidDeviceXMLErrorDomain";
        const QString tooLarge = "fetchDeviceInfo failed: Error Domain=ResponseTooLargeErrorDomain";
        using D = Config::Description;
        using T = Config::Topology;
        const auto old = Config::Firmware::Old;

        QTest::newRow("old firmware: member from /status/topology")
            << Config{.firmware = old, .coordinator = false} << member << 2 << QString();
        QTest::newRow("topology 404 with empty body: member from zone group state")
            << Config{.topology = T::NotFound, .coordinator = false} << member << 3 << QString();
        QTest::newRow("speaker missing from zone group state")
            << Config{.zoneGroupState = testData("discovery/zgs-home-theatre.xml")} << unlisted << 3
            << QString();
        QTest::newRow("old firmware lists other players only, GetZoneGroupState fault")
            << Config{.firmware = old, .topology = T::Others, .zoneGroupStateFails = true}
            << unlisted << 3 << QString();
        QTest::newRow("description cut off after its UDN")
            << Config{.description = D::CutAfterUdn} << none << 1 << badXml;
        QTest::newRow("zone group state cut off after the speaker's entry: fallback")
            << Config{.zoneGroupStateCut = true, .coordinator = false} << alone << 3 << QString();
        QTest::newRow("topology never answers, GetZoneGroupState fault")
            << Config{.topology = T::NoAnswer, .zoneGroupStateFails = true} << alone << 3
            << QString();
        QTest::newRow("no UDN: nothing to look the speaker up by")
            << Config{.description = D::NoUdn}
            << DeviceTopology(true, "%1/xml/device_description.xml") << 2 << QString();
        QTest::newRow("HTML error page")
            << Config{.description = D::HtmlError} << none << 1 << badXml;
        // Nothing listens there: asked, the call would fail and leave the fallback.
        QTest::newRow("control URL on another host: the call still goes to the speaker")
            << Config{.controlUrl = "http://127.0.0.3:9/ZoneGroupTopology/Control"}
            << DeviceTopology(true, kGroup) << 3 << QString();
        QTest::newRow("BOOST") << Config{.modelName = "Sonos BOOST"} << none << 3
                               << "Ignoring BOOST device at ";
        QTest::newRow("Boost in other letter case")
            << Config{.modelName = "Sonos Boost"} << DeviceTopology(true, kGroup) << 3 << QString();
        QTest::newRow("endless body") << Config{.description = D::Huge} << none << 1 << tooLarge;
    }

    void fetchesDescriptionAndTopology()
    {
        QFETCH(Config, config);
        QFETCH(DeviceTopology, topology);
        QFETCH(int, fetches);
        QFETCH(QString, logged);
        LogCapture log;
        FakeSpeaker speaker(config);
        QVERIFY(speaker.start());
        const QString base = QStringLiteral("http://127.0.0.2:%1").arg(speaker.httpPort());
        DeviceDiscovery::Options options = optionsFor(&speaker);
        // Only the abort at the limit can end it within the test's wait.
        if (config.description == Config::Description::Huge)
            options.http.transferTimeout = 60s;
        DeviceDiscovery discovery(options);
        QSignalSpy found(&discovery, &DeviceDiscovery::deviceDiscovered);

        discovery.searchForDevices(std::nullopt);
        if (topology != DeviceTopology()) {
            QTRY_COMPARE(found.size(), 1);
            QCOMPARE(found.first().at(2).value<DeviceTopology>(),
                     DeviceTopology(topology.coordinator, topology.group.replace("%1", base)));
            QCOMPARE(discovery.devices().size(), 1);
        } else { // the pipeline has ended
            QTRY_VERIFY(log.inOrder({logged}));
            QCOMPARE(found.size(), 0);
            QVERIFY(discovery.devices().isEmpty());
        }
        QCOMPARE(speaker.requests(), kFetches.mid(0, fetches));
        if (config.description == Config::Description::Huge) {
            // Aborted soon after the limit, not after the whole 64 MiB; what the
            // kernel's socket buffers took on loopback counts as sent.
            QTRY_VERIFY(speaker.hugeClientHungUp());
            QVERIFY2(speaker.hugeBytesSent() < 32 * 1024 * 1024,
                     qPrintable(QString::number(speaker.hugeBytesSent())));
        }
    }

    void failedStartOnlyCompletes()
    {
        LogCapture log;
        DeviceDiscovery::Options options = optionsFor();
        options.ssdp.bindAddress = QHostAddress(QStringLiteral("192.0.2.1")); // not ours
        DeviceDiscovery discovery(options);
        QSignalSpy started(&discovery, &DeviceDiscovery::discoveryStarted);
        QSignalSpy complete(&discovery, &DeviceDiscovery::discoveryComplete);
        discovery.searchForDevices(8.0);
        QCOMPARE(started.size(), 0);
        QCOMPARE(complete.size(), 1);
        QVERIFY(!discovery.isSearching());
        QVERIFY(log.has(Logging::Level::Error, QStringLiteral("SSDP"),
                        "Failed to establish socket for M-SEARCH broadcasts: "));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscovery)
#include "tst_DeviceDiscovery.moc"
