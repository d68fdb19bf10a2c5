#include "Version.h"
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPDiscoverySession.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"
#include "support/TestData.h"

#include <QtTest>

namespace {

using namespace std::chrono_literals;
using Level = Logging::Level;
using Config = FakeSpeaker::Config;
const QString kSSDP = QStringLiteral("SSDP");
const QString kUdn = QStringLiteral("RINCON_48A6B8C0FFEE01400");
const QString kGroup = kUdn + QStringLiteral(":27");
const QStringList kFetches{"GET /xml/device_description.xml", "GET /status/topology",
                           "POST /ZoneGroupTopology/Control"};

struct Announcement {
    SSDPMSearchResponse response;
    DeviceInfo info;
    DeviceTopology topology;
};

// Everything a discovery emits while this lives, in order.
struct Notifications : QObject {
    explicit Notifications(DeviceDiscovery& hub)
    {
        connect(&hub, &DeviceDiscovery::discoveryStarted, this,
                [this] { order << "discoveryStarted"; });
        connect(&hub, &DeviceDiscovery::discoveryComplete, this,
                [this] { order << "discoveryComplete"; });
        connect(&hub, &DeviceDiscovery::deviceDiscovered, this,
                [this](const SSDPMSearchResponse& response, const DeviceInfo& info,
                       const DeviceTopology& topology) {
                    order << "deviceDiscovered";
                    announced.append({response, info, topology});
                });
    }
    QStringList order;
    QList<Announcement> announced;
};

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
        LogCapture log;
        FakeSpeaker speaker({.answersPerSearch = 2});
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor(&speaker));
        Notifications notifications(discovery);

        discovery.searchForDevices(1.0);
        QVERIFY(discovery.isSearching());
        QTRY_VERIFY(notifications.order.contains("discoveryComplete"));
        QVERIFY(!discovery.isSearching()); // ended by its time-out
        // Three M-SEARCHes, each answered twice: announced once.
        QCOMPARE(notifications.order,
                 QStringList({"discoveryStarted", "deviceDiscovered", "discoveryComplete"}));
        QCOMPARE(speaker.searches().size(), 3);
        QCOMPARE(speaker.searches().first(),
                 QStringLiteral("M-SEARCH * HTTP/1.1\r\nHOST: 127.0.0.2:%1\r\nMAN: "
                                "\"ssdp:discover\"\r\nMX: 1\r\nST: urn:schemas-upnp-org:device:"
                                "ZonePlayer:1\r\nUSER-AGENT: Linux UPnP/1.1 Corvane/%2\r\n\r\n")
                     .arg(speaker.ssdpPort())
                     .arg(corvane::kVersion)
                     .toLatin1());

        const Announcement found = notifications.announced.first();
        const QUrl location = speaker.location();
        QCOMPARE(found.response.location, location);
        QCOMPARE(found.response.usn, speaker.usn());
        QCOMPARE(found.response.maxAge, 1800);
        QCOMPARE(found.response.header("x-rincon-household"), "Sonos_kQ9vA1bB2cC3dD4eE5fF6gG7hH");
        QCOMPARE(found.info.location, location);
        QCOMPARE(found.info.server, QStringLiteral("Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)"));
        QCOMPARE(found.info.roomName, "Kitchen");
        QCOMPARE(found.topology, DeviceTopology(true, kGroup));
        QCOMPARE(discovery.devices(), (QHash<QUrl, DeviceInfo>{{location, found.info}}));
        QCOMPARE(speaker.requests(), kFetches);   // one after the other, never overlapping
        QVERIFY(discovery.isHouseholdComplete()); // it lists only itself

        QVERIFY(log.has(Level::Info, kSSDP, "searchForDevices"));
        QVERIFY(log.has(Level::Info, kSSDP,
                        "discoveredDevice(SSDPMSearchResponse(location: " + location.toString()));
        QVERIFY(log.has(Level::Info, std::nullopt, "Fetching XML from " + location.toString()));
        QVERIFY(log.has(Level::Info, kSSDP, "closedSession(SSDPDiscoverySession("));

        // A new search announces it again, and so does every further answer handed on
        // (the SSDP client passes repeats only across sessions). Services are only logged.
        discovery.searchForDevices(std::nullopt);
        QVERIFY(!discovery.isHouseholdComplete()); // each search counts afresh
        discovery.discoveredDevice(found.response, *discovery.session());
        SSDPMSearchResponse service;
        service.searchTarget = QStringLiteral("urn:schemas-upnp-org:service:ZoneGroupTopology:1");
        discovery.discoveredService(service, *discovery.session());
        QTRY_COMPARE(notifications.announced.size(), 3);
        QCOMPARE(discovery.devices().size(), 1);
        QVERIFY(log.has(Level::Info, kSSDP, "discoveredService("));

        // Stopping completes twice, from stopSearching and from the session's
        // close; with nothing running, once.
        notifications.order.clear();
        discovery.stopSearching();
        QVERIFY(!discovery.isSearching());
        discovery.stopSearching();
        QCOMPARE(notifications.order, QStringList(3, "discoveryComplete"));
        QVERIFY(log.has(Level::Info, kSSDP, "stopSearching"));
    }

    void fetchesDescriptionAndTopology_data()
    {
        QTest::addColumn<Config>("config");
        QTest::addColumn<DeviceTopology>("topology"); // none: not announced
        QTest::addColumn<int>("fetches");
        QTest::addColumn<QStringList>("logged"); // in order; %1 is http://<speaker>

        // alone: no topology could be had; unlisted: the speaker's own documents leave it out.
        const DeviceTopology none, member(false, kGroup), alone(true, kUdn), unlisted(false, kUdn);
        const QString zgs = QStringLiteral("Zone group state from %1/ZoneGroupTopology/Control");
        const QStringList tooLarge{
            "Failed to fetch XML from %1/xml/device_description.xml - Response body larger "
            "than 4194304 bytes",
            "fetchDeviceInfo failed: Error Domain=ResponseTooLargeErrorDomain Code=-1"};
        using D = Config::Description;
        using T = Config::Topology;

        QTest::newRow("old firmware: member from /status/topology")
            << Config{.firmware = Config::Firmware::Old, .coordinator = false} << member << 2
            << QStringList{"Received a response from %1/status/topology"};
        QTest::newRow("topology 404 with empty body: member from zone group state")
            << Config{.topology = T::NotFound, .coordinator = false} << member << 3
            << QStringList{"Received a response from %1/status/topology",
                           zgs + ": " + kUdn + " is in group " + kGroup};
        QTest::newRow("speaker missing from zone group state")
            << Config{.zoneGroupState = testData("discovery/zgs-home-theatre.xml")} << unlisted << 3
            << QStringList{zgs + " has no entry for " + kUdn};
        QTest::newRow("old firmware lists other players only, GetZoneGroupState fault")
            << Config{.firmware = Config::Firmware::Old,
                      .topology = T::Others,
                      .zoneGroupStateFails = true}
            << unlisted << 3
            << QStringList{"The topology from %1/status/topology does not list " + kUdn,
                           "No zone group state in the answer from %1/ZoneGroupTopology/Control"};
        QTest::newRow("description cut off after its UDN")
            << Config{.description = D::CutAfterUdn} << none << 1
            << QStringList{
                   "The XML from %1/xml/device_description.xml does not parse: ",
                   "fetchDeviceInfo failed: Error Domain=InvalidDeviceXMLErrorDomain Code=-1"};
        QTest::newRow("topology cut off after the speaker's entry: zone group state decides")
            << Config{.firmware = Config::Firmware::Old, .topology = T::Cut, .coordinator = false}
            << member << 3
            << QStringList{"The XML from %1/status/topology does not parse: ",
                           zgs + ": " + kUdn + " is in group " + kGroup};
        QTest::newRow("zone group state cut off after the speaker's entry: fallback")
            << Config{.zoneGroupStateCut = true, .coordinator = false} << alone << 3
            << QStringList{"The zone group state from %1/ZoneGroupTopology/Control does not "
                           "parse: "};
        QTest::newRow("topology never answers, GetZoneGroupState fault")
            << Config{.topology = T::NoAnswer, .zoneGroupStateFails = true} << alone << 3
            << QStringList{"Failed to fetch XML from %1/status/topology - ",
                           "Failed to fetch topology from %1/status/topology",
                           "No zone group state in the answer from %1/ZoneGroupTopology/Control"};
        QTest::newRow("no UDN: nothing to look the speaker up by")
            << Config{.description = D::NoUdn}
            << DeviceTopology(true, "%1/xml/device_description.xml") << 2
            << QStringList{"Received a response from %1/status/topology"};
        QTest::newRow("HTML error page")
            << Config{.description = D::HtmlError} << none << 1
            << QStringList{
                   "Received a response from %1/xml/device_description.xml",
                   "fetchDeviceInfo failed: Error Domain=InvalidDeviceXMLErrorDomain Code=-1"};
        QTest::newRow("BOOST") << Config{.modelName = "Sonos BOOST"} << none << 3
                               << QStringList{"Ignoring BOOST device at %1/xml/"
                                              "device_description.xml"};
        QTest::newRow("Boost in other letter case")
            << Config{.modelName = "Sonos Boost"} << DeviceTopology(true, kGroup) << 3
            << QStringList{zgs + ": " + kUdn + " is in group " + kGroup + " as its coordinator"};
        QTest::newRow("endless body") << Config{.description = D::Huge} << none << 1 << tooLarge;
        QTest::newRow("body announced too large")
            << Config{.description = D::HugeDeclared} << none << 1 << tooLarge;
    }

    void fetchesDescriptionAndTopology()
    {
        QFETCH(Config, config);
        QFETCH(DeviceTopology, topology);
        QFETCH(int, fetches);
        QFETCH(QStringList, logged);
        LogCapture log;
        FakeSpeaker speaker(config);
        QVERIFY(speaker.start());
        const QString base = QStringLiteral("http://127.0.0.2:%1").arg(speaker.httpPort());
        for (QString& line : logged)
            line.replace("%1", base);
        DeviceDiscovery::Options options = optionsFor(&speaker);
        // Only the abort at the limit can end these within the test's wait.
        if (config.description == Config::Description::Huge ||
            config.description == Config::Description::HugeDeclared)
            options.http.transferTimeout = 60s;
        DeviceDiscovery discovery(options);
        Notifications notifications(discovery);

        discovery.searchForDevices(std::nullopt);
        QTRY_VERIFY(log.inOrder(logged));
        if (topology != DeviceTopology()) {
            QTRY_COMPARE(notifications.announced.size(), 1);
            QCOMPARE(notifications.announced.first().topology,
                     DeviceTopology(topology.coordinator, topology.group.replace("%1", base)));
            QCOMPARE(discovery.devices().size(), 1);
        } else { // the pipeline has ended
            QCOMPARE(notifications.announced.size(), 0);
            QVERIFY(discovery.devices().isEmpty());
        }
        QCOMPARE(log.has(Level::Warning, kSSDP, "fetchDeviceInfo failed: "),
                 logged.last().startsWith("fetchDeviceInfo failed: "));
        QCOMPARE(speaker.requests(), kFetches.mid(0, fetches));
        if (config.description == Config::Description::Huge) {
            // Aborted soon after the limit, not after the whole 64 MiB; what the
            // kernel's socket buffers took on loopback counts as sent.
            QTRY_VERIFY(speaker.hugeClientHungUp());
            QVERIFY2(speaker.hugeBytesSent() < 32 * 1024 * 1024,
                     qPrintable(QString::number(speaker.hugeBytesSent())));
        }
    }

    // A description may name any host for its control URL; the call still
    // goes to the speaker that answered, never to that host.
    void controlCallStaysOnSpeaker()
    {
        FakeSpeaker elsewhere({.address = QHostAddress(QStringLiteral("127.0.0.3"))});
        QVERIFY(elsewhere.start());
        FakeSpeaker speaker(
            {.controlUrl = QStringLiteral("http://127.0.0.3:%1/ZoneGroupTopology/Control")
                               .arg(elsewhere.httpPort())});
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor(&speaker));
        Notifications notifications(discovery);
        discovery.searchForDevices(std::nullopt);
        QTRY_COMPARE(notifications.announced.size(), 1);
        QCOMPARE(notifications.announced.first().topology, DeviceTopology(true, kGroup));
        QCOMPARE(speaker.requests(), kFetches);
        QVERIFY(elsewhere.requests().isEmpty());
    }

    void failedStartOnlyCompletes()
    {
        LogCapture log;
        DeviceDiscovery::Options options = optionsFor();
        options.ssdp.bindAddress = QHostAddress(QStringLiteral("192.0.2.1")); // not ours
        DeviceDiscovery discovery(options);
        Notifications notifications(discovery);
        discovery.searchForDevices(8.0);
        QCOMPARE(notifications.order, QStringList({"discoveryComplete"}));
        QVERIFY(!discovery.isSearching());
        QVERIFY(
            log.has(Level::Error, kSSDP, "Failed to establish socket for M-SEARCH broadcasts: "));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscovery)
#include "tst_DeviceDiscovery.moc"
