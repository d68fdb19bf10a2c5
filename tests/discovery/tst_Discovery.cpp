#include "Version.h"
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPDiscoverySession.h"
#include "discovery/SSDPNotifyListener.h"
#include "lab/FakeSpeaker.h"
#include "support/LogCapture.h"
#include "support/TestData.h"

#include <QUdpSocket>
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

const QByteArray kZonePlayer = "urn:schemas-upnp-org:device:ZonePlayer:1";
const QByteArray kTopologyService = "urn:schemas-upnp-org:service:ZoneGroupTopology:1";

// Bare LF line ends and header names in any case are fine.
QByteArray answer(const QByteArray& location, const QByteArray& st = kZonePlayer)
{
    return "HTTP/1.1 200 OK\nlocation: " + location + "\nST: " + st + "\nUSN: " + st + "\n\n";
}

// A search session that sends no M-SEARCH: the test sends the answers itself.
struct Search : SSDPDiscoveryDelegate {
    Search()
    {
        SSDPMSearchRequest request; // for ssdp:all
        request.delegate = this;
        session = discovery.beginSearch(request, std::nullopt).session;
    }
    void send(const QByteArray& datagram)
    {
        QUdpSocket().writeDatagram(datagram, QHostAddress::LocalHost, session->localPort());
    }
    void discoveredDevice(const SSDPMSearchResponse& response, SSDPDiscoverySession&) override
    {
        devices.append(response);
    }
    void discoveredService(const SSDPMSearchResponse& response, SSDPDiscoverySession&) override
    {
        services.append(response);
    }
    void closedSession(SSDPDiscoverySession&) override {}

    SSDPDiscovery discovery{{.destinations = {}}};
    std::shared_ptr<SSDPDiscoverySession> session;
    QList<SSDPMSearchResponse> devices, services;
};

using B = QByteArray;

// A listener on a free port of this machine; the fake speaker sends to it
// directly from 127.0.0.2, so no multicast is needed.
struct Listening {
    explicit Listening(SSDPNotifyListener::Options options = {.port = 0}) : listener(options)
    {
        started = speaker.start() && listener.start();
    }
    void send(const QByteArray& datagram)
    {
        speaker.sendDatagram(datagram, QHostAddress::LocalHost, listener.localPort());
    }
    QByteArray withUdn(QByteArray datagram, int n) const
    {
        return datagram.replace(kUdn.toUtf8(), "RINCON_" + QByteArray::number(n));
    }

    FakeSpeaker speaker{FakeSpeaker::Config{}};
    SSDPNotifyListener listener;
    QSignalSpy alive{&listener, &SSDPNotifyListener::alive};
    QSignalSpy byebye{&listener, &SSDPNotifyListener::byebye};
    bool started = false;
};

} // namespace

// SSDP answers and announcements, and the way from an answer to an announced speaker.
class TestDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void passesOnlyWellFormedAnswers()
    {
        Search search;
        QVERIFY(search.session);
        const QByteArray good = answer("http://127.0.0.9:1400/d.xml");
        for (const QByteArray& hostile : {
                 QByteArray(),
                 good + QByteArray(SSDPMSearchResponse::kMaxDatagramSize - good.size() + 1, ' '),
                 QByteArray::fromHex("00ff13370a0d0a0d48545450ff2f312e3120323030"),
                 QByteArray(good).insert(20, '\0'), QByteArray(good).replace('\n', '\r'),
                 QByteArray(good).replace("200 OK", "404 Not Found"),
                 QByteArray(good).replace("ST:", "XST:"),
                 QByteArray(good).replace("http://127.0.0.9:1400", "file://"),
                 QByteArray(good).replace("http://127.0.0.9:1400", ""),
                 QByteArray(good).replace("location:", "\nlocation:"), // after the blank line
                 "HTTP/1.1 200 OK\r\n" + QByteArray("A:\r\n").repeated(2000),  // header flood
                 QByteArray(good).insert(16, QByteArray("A:\n").repeated(62)), // 65 headers
             })
            search.send(hostile);
        const QByteArray largest = answer("http://127.0.0.2/largest");
        search.send(largest +
                    QByteArray(SSDPMSearchResponse::kMaxDatagramSize - largest.size(), ' '));
        search.send(answer("http://127.0.0.2/", kTopologyService));
        // More distinct answers than one session keeps.
        for (int i = 0; i < SSDPDiscoverySession::kMaxAnswers; ++i) {
            search.send(answer("http://127.0.0.2/" + QByteArray::number(i)));
            if (i % 100 == 0)
                QCoreApplication::processEvents(); // keep within the socket's buffer
        }
        QTRY_COMPARE(search.devices.size(), SSDPDiscoverySession::kMaxAnswers - 1);
        QTest::qWait(50);
        QCOMPARE(search.devices.size(), SSDPDiscoverySession::kMaxAnswers - 1);
        QCOMPARE(search.devices.first().location, QUrl(QStringLiteral("http://127.0.0.2/largest")));
        QCOMPARE(search.services.size(), 1);
        QCOMPARE(search.services.first().searchTarget, QString::fromLatin1(kTopologyService));
    }

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

    void reportsOnlyGenuineZonePlayerAnnouncements_data()
    {
        QTest::addColumn<QByteArray>("from");  // replaced in the speaker's own ssdp:alive
        QTest::addColumn<QByteArray>("to");    // by this
        QTest::addColumn<QString>("expected"); // "alive", "byebye" or "" (ignored)

        const B nts = "NTS: ssdp:alive";
        const B host = "http://127.0.0.2:";
        const B usn = "USN: uuid:";
        const B end = "\r\n\r\n";
        QTest::newRow("alive") << nts << nts << "alive";
        QTest::newRow("update") << nts << B("NTS: ssdp:update") << "alive";
        QTest::newRow("byebye") << nts << B("NTS: ssdp:byebye") << "byebye";
        QTest::newRow("unknown NTS") << nts << B("NTS: ssdp:discover") << "";
        QTest::newRow("bare LF, names in lower case")
            << B("\r\nLOCATION:") << B("\nlocation:") << "alive";
        QTest::newRow("another device type") << B("ZonePlayer") << B("MediaRenderer") << "";
        QTest::newRow("LOCATION on another host") << host << B("http://127.0.0.3:") << "";
        QTest::newRow("LOCATION by name") << host << B("http://localhost:") << "";
        QTest::newRow("LOCATION not http") << host << B("ftp://127.0.0.2:") << "";
        QTest::newRow("UDN beyond 128 characters") << usn << usn + B(120, 'A') << "";
        QTest::newRow("USN without uuid") << usn << B("USN: ") << "";
        QTest::newRow("M-SEARCH of another control point") << B("NOTIFY") << B("M-SEARCH") << "";
        QTest::newRow("too many headers") << end << B("\r\nX-A: 1").repeated(64) + end << "";
        QTest::newRow("oversized") << end << "\r\nX-PAD: " + B(8192, 'a') + end << "";
    }

    void reportsOnlyGenuineZonePlayerAnnouncements()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, expected);
        Listening setup;
        QVERIFY(setup.started);

        setup.send(setup.speaker.ssdpNotify("ssdp:alive").replace(from, to));
        // A byebye of another speaker marks the end of what the listener took in.
        setup.send(setup.withUdn(setup.speaker.ssdpNotify("ssdp:byebye"), 1));
        QTRY_VERIFY(!setup.byebye.isEmpty() &&
                    setup.byebye.last().first().toString() == QStringLiteral("RINCON_1"));

        QCOMPARE(setup.alive.size(), expected == "alive" ? 1 : 0);
        QCOMPARE(setup.byebye.size(), expected == "byebye" ? 2 : 1);
        if (expected == "alive") {
            QCOMPARE(setup.alive.first().at(0).toUrl(), setup.speaker.location());
            QCOMPARE(setup.alive.first().at(1).toString(), kUdn);
            setup.send(setup.speaker.ssdpNotify("ssdp:byebye")); // no repeat of its alive
            QTRY_COMPARE(setup.byebye.size(), 2);
        } else if (expected == "byebye") {
            QCOMPARE(setup.byebye.first().first().toString(), kUdn);
        }
    }

    // Each speaker announces twice and is reported once, up to 64 in a window with
    // the flood said once; the table of those reported stays within its 50.
    void capsRepeatsAndFloods()
    {
        LogCapture log;
        Listening setup({.port = 0,
                         .repeatInterval = 60s,
                         .floodWindow = 60s,
                         .maxPerWindow = 64,
                         .maxRemembered = 50});
        QVERIFY(setup.started);

        const QByteArray alive = setup.speaker.ssdpNotify("ssdp:alive");
        for (int n = 0; n < 100; ++n) {
            setup.send(setup.withUdn(alive, n));
            setup.send(setup.withUdn(alive, n));
            // In steps, so the socket's receive buffer never overflows.
            if ((n + 1) % 25 == 0)
                QTRY_COMPARE(setup.alive.size(), std::min(n + 1, 64));
            QVERIFY(setup.listener.rememberedCount() <= 50);
        }
        QTest::qWait(20);
        QCOMPARE(setup.alive.size(), 64);
        const auto warnings = std::count_if(log.lines.begin(), log.lines.end(), [](const auto& l) {
            return std::get<2>(l).startsWith("More than ");
        });
        QCOMPARE(warnings, 1);
    }

    void repeatsAfterInterval()
    {
        Listening setup(
            {.port = 0, .repeatInterval = 50ms, .floodWindow = 50ms, .maxPerWindow = 1});
        QVERIFY(setup.started);
        const QByteArray alive = setup.speaker.ssdpNotify("ssdp:alive");
        setup.send(alive);
        QTRY_COMPARE(setup.alive.size(), 1);
        setup.send(setup.withUdn(alive, 1)); // beyond this window's one
        QTest::qWait(80);
        setup.send(alive);
        QTRY_COMPARE(setup.alive.size(), 2);
        QCOMPARE(setup.alive.last().at(1).toString(), kUdn);
    }

    void holdsThePortOnlyWhileStarted()
    {
        Listening setup;
        QVERIFY(setup.started);
        const quint16 port = setup.listener.localPort();
        QUdpSocket other; // other UPnP software may listen alongside, but only alongside
        QVERIFY(!other.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress));
        QVERIFY(other.bind(QHostAddress::AnyIPv4, port,
                           QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        other.close();

        setup.listener.stop();
        QVERIFY(other.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress));
        other.close();
        setup.speaker.sendDatagram(setup.speaker.ssdpNotify("ssdp:alive"), QHostAddress::LocalHost,
                                   port);
        QTest::qWait(50);
        QCOMPARE(setup.alive.size(), 0);

        QVERIFY(setup.listener.start()); // and listens again once restarted
        setup.send(setup.speaker.ssdpNotify("ssdp:alive"));
        QTRY_COMPARE(setup.alive.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_Discovery.moc"
