#include "LogCapture.h"
#include "discovery/DeviceDiscovery.h"
#include "discovery/SSDPDiscoverySession.h"
#include "platform/NotificationCenter.h"
#include "support/FakeSpeaker.h"
#include "support/TestData.h"

#include <QProcess>
#include <QTcpServer>
#include <QUdpSocket>
#include <QtTest>

namespace {

using namespace std::chrono_literals;
using Level = Logging::Level;
const QString kSSDP = QStringLiteral("SSDP");
const Logging::Category kNone = std::nullopt;

struct Announcement {
    SSDPMSearchResponse response;
    DeviceInfo info;
    DeviceTopology topology;
};

// Everything the notification centre posts while it lives, in order.
class Notifications : public QObject {
public:
    Notifications()
    {
        auto& hub = NotificationCenter::shared();
        connect(&hub, &NotificationCenter::discoveryStarted, this,
                [this] { order.append(QStringLiteral("discoveryStarted")); });
        connect(&hub, &NotificationCenter::discoveryComplete, this,
                [this] { order.append(QStringLiteral("discoveryComplete")); });
        connect(&hub, &NotificationCenter::deviceDiscovered, this,
                [this](const SSDPMSearchResponse& response, const DeviceInfo& info,
                       const DeviceTopology& topology) {
                    order.append(QStringLiteral("deviceDiscovered"));
                    announced.append({response, info, topology});
                });
    }
    int count(const QString& name) const { return int(order.count(name)); }

    QStringList order;
    QList<Announcement> announced;
};

DeviceDiscovery::Options optionsFor(const QList<FakeSpeaker*>& speakers,
                                    std::chrono::milliseconds transferTimeout = 5s)
{
    DeviceDiscovery::Options options;
    options.ssdp.destinations.clear();
    for (const FakeSpeaker* speaker : speakers)
        options.ssdp.destinations.append({speaker->config().address, speaker->ssdpPort()});
    options.ssdp.retransmitInterval = 20ms;
    options.http.transferTimeout = transferTimeout;
    return options;
}

// A response as the SSDP client would hand it on.
SSDPMSearchResponse responseFor(const QUrl& location)
{
    SSDPMSearchResponse response;
    response.location = location;
    response.server = QStringLiteral("Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)");
    response.searchTarget = QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1");
    response.usn = QStringLiteral("uuid:RINCON_X::urn:schemas-upnp-org:device:ZonePlayer:1");
    return response;
}

} // namespace

class TestDeviceDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void announcesHealthySpeaker()
    {
        LogCapture log;
        Notifications notifications;
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({&speaker}));

        discovery.searchForDevices(1.0);
        QVERIFY(discovery.isSearching());
        QTRY_COMPARE(notifications.count(QStringLiteral("discoveryComplete")), 1);
        QVERIFY(!discovery.isSearching());
        QCOMPARE(notifications.order,
                 QStringList({"discoveryStarted", "deviceDiscovered", "discoveryComplete"}));

        const Announcement& found = notifications.announced.first();
        const QUrl location = speaker.location();
        QCOMPARE(found.response.location, location);
        QCOMPARE(found.info.location, location);
        QCOMPARE(found.info.server, QStringLiteral("Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)"));
        QCOMPARE(found.info.udn, QStringLiteral("uuid:RINCON_48A6B8C0FFEE01400"));
        QCOMPARE(found.info.roomName, QStringLiteral("Kitchen"));
        QCOMPARE(found.info.modelName, QStringLiteral("Sonos One"));
        QCOMPARE(found.topology,
                 DeviceTopology(true, QStringLiteral("RINCON_48A6B8C0FFEE01400:27")));
        QCOMPARE(discovery.devices().size(), 1);
        QCOMPARE(discovery.devices().value(location), found.info);
        // One fetch after the other, never overlapping.
        QCOMPARE(speaker.requests(),
                 QStringList({"GET /xml/device_description.xml", "GET /status/topology",
                              "POST /ZoneGroupTopology/Control"}));

        QVERIFY(log.has(Level::Info, kSSDP, QStringLiteral("searchForDevices")));
        QVERIFY(log.has(Level::Info, kSSDP,
                        QStringLiteral("discoveredDevice(SSDPMSearchResponse(location: ") +
                            location.toString()));
        const QString topology =
            QStringLiteral("http://127.0.0.2:%1/status/topology").arg(speaker.httpPort());
        qsizetype at = log.find(QStringLiteral("Fetching XML from ") + location.toString());
        QVERIFY(at >= 0);
        QCOMPARE(log.lines[at].category, kNone);
        at = log.find(QStringLiteral("Received a response from ") + location.toString(), at);
        QVERIFY(at >= 0);
        at = log.find(QStringLiteral("Fetching XML from ") + topology, at);
        QVERIFY(at >= 0);
        QVERIFY(log.find(QStringLiteral("Received a response from ") + topology, at) > at);
        QVERIFY(log.has(Level::Info, kSSDP, QStringLiteral("closedSession(SSDPDiscoverySession(")));
    }

    void findsTopology_data()
    {
        using C = FakeSpeaker::Config;
        QTest::addColumn<int>("firmware");
        QTest::addColumn<int>("topologyMode");
        QTest::addColumn<bool>("zoneGroupStateFails");
        QTest::addColumn<QString>("zoneGroupStateFile");
        QTest::addColumn<QString>("udn");
        QTest::addColumn<bool>("coordinator");
        QTest::addColumn<bool>("expectCoordinator");
        QTest::addColumn<QString>("expectGroup");
        QTest::addColumn<bool>("expectSoap");
        QTest::addColumn<QString>("expectLog");

        const int old = int(C::Firmware::Old);
        const int current = int(C::Firmware::Current);
        const int normal = int(C::Topology::Normal);
        const QString udn = QStringLiteral("RINCON_48A6B8C0FFEE01400");
        const QString group = udn + QStringLiteral(":27");
        const QString absent = QStringLiteral("RINCON_000000000000001400");

        QTest::newRow("old firmware: coordinator from /status/topology")
            << old << normal << false << QString() << udn << true << true << group << false
            << QString();
        QTest::newRow("old firmware: member from /status/topology")
            << old << normal << false << QString() << udn << false << false << group << false
            << QString();
        QTest::newRow("current firmware: member from zone group state")
            << current << normal << false << QString() << udn << false << false << group << true
            << QStringLiteral("Zone group state from ");
        QTest::newRow("current firmware: home-theatre sub is a satellite")
            << current << normal << false << QStringLiteral("zgs-home-theatre.xml")
            << QStringLiteral("RINCON_F0F6C1A0B0C101400") << true << false
            << QStringLiteral("RINCON_F0F6C1A0B0C001400:3119") << true << QString();
        QTest::newRow("current firmware: stereo pair's hidden half")
            << current << normal << false << QStringLiteral("zgs-stereo-pair.xml")
            << QStringLiteral("RINCON_542A1B0F1A1B01400") << true << false
            << QStringLiteral("RINCON_542A1B0C0D0E01400:2071") << true << QString();
        QTest::newRow("current firmware: speaker missing from zone group state")
            << current << normal << false << QStringLiteral("zgs-group-of-three.xml") << absent
            << false << true << absent << true << QStringLiteral("Zone group state from ");
        QTest::newRow("current firmware: GetZoneGroupState fault")
            << current << normal << true << QString() << udn << false << true << udn << true
            << QStringLiteral("No zone group state in the answer from ");
        QTest::newRow("topology 404 with empty body, zone group state answers")
            << current << int(C::Topology::NotFound) << false << QString() << udn << false << false
            << group << true << QString();
        QTest::newRow("topology 404 with empty body, no zone group state")
            << old << int(C::Topology::NotFound) << true << QString() << udn << false << true << udn
            << true << QString();
        QTest::newRow("topology never answers")
            << old << int(C::Topology::NoAnswer) << true << QString() << udn << false << true << udn
            << true << QStringLiteral("Failed to fetch topology from ");
    }

    void findsTopology()
    {
        QFETCH(int, firmware);
        QFETCH(int, topologyMode);
        QFETCH(bool, zoneGroupStateFails);
        QFETCH(QString, zoneGroupStateFile);
        QFETCH(QString, udn);
        QFETCH(bool, coordinator);
        QFETCH(bool, expectCoordinator);
        QFETCH(QString, expectGroup);
        QFETCH(bool, expectSoap);
        QFETCH(QString, expectLog);

        LogCapture log;
        Notifications notifications;
        FakeSpeaker::Config config;
        config.firmware = FakeSpeaker::Config::Firmware(firmware);
        config.topology = FakeSpeaker::Config::Topology(topologyMode);
        config.zoneGroupStateFails = zoneGroupStateFails;
        if (!zoneGroupStateFile.isEmpty())
            config.zoneGroupState = testData(QStringLiteral("discovery/") + zoneGroupStateFile);
        config.udn = udn;
        config.coordinator = coordinator;
        FakeSpeaker speaker(config);
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({&speaker}, 300ms));

        discovery.searchForDevices(std::nullopt);
        QTRY_COMPARE(notifications.announced.size(), 1);
        discovery.stopSearching();
        QCOMPARE(notifications.announced.first().topology,
                 DeviceTopology(expectCoordinator, expectGroup));
        QCOMPARE(speaker.requests().contains(QStringLiteral("POST /ZoneGroupTopology/Control")),
                 expectSoap);
        if (!expectLog.isEmpty())
            QVERIFY(log.find(expectLog) >= 0);
    }

    void dropsSpeakersWithoutUsableDescription_data()
    {
        using D = FakeSpeaker::Config::Description;
        QTest::addColumn<int>("description");
        QTest::addColumn<QString>("modelName");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<QString>("expectLog");
        QTest::addColumn<QString>("expectWarning");

        const QString badXml = QStringLiteral(
            "fetchDeviceInfo failed: Error Domain=InvalidDeviceXMLErrorDomain Code=-1");
        const QString tooLarge = QStringLiteral(
            "fetchDeviceInfo failed: Error Domain=ResponseTooLargeErrorDomain Code=-1");
        QTest::newRow("HTML error page") << int(D::HtmlError) << QString() << false
                                         << QStringLiteral("Received a response from ") << badXml;
        QTest::newRow("body that is no XML")
            << int(D::NotXml) << QString() << false << QStringLiteral("Received a response from ")
            << badXml;
        QTest::newRow("BOOST") << int(D::Normal) << QStringLiteral("Sonos BOOST") << false
                               << QStringLiteral("Ignoring BOOST device at http://127.0.0.2:")
                               << QString();
        QTest::newRow("Boost in other letter case")
            << int(D::Normal) << QStringLiteral("Sonos Boost") << true << QString() << QString();
        QTest::newRow("BOOST with a trailing space")
            << int(D::Normal) << QStringLiteral("Sonos BOOST ") << true << QString() << QString();
        QTest::newRow("endless body") << int(D::Huge) << QString() << false
                                      << QStringLiteral("Failed to fetch XML from ") << tooLarge;
        QTest::newRow("body announced too large")
            << int(D::HugeDeclared) << QString() << false
            << QStringLiteral("Failed to fetch XML from ") << tooLarge;
    }

    void dropsSpeakersWithoutUsableDescription()
    {
        QFETCH(int, description);
        QFETCH(QString, modelName);
        QFETCH(bool, announced);
        QFETCH(QString, expectLog);
        QFETCH(QString, expectWarning);

        LogCapture log;
        Notifications notifications;
        FakeSpeaker::Config config;
        config.description = FakeSpeaker::Config::Description(description);
        if (!modelName.isEmpty())
            config.modelName = modelName;
        FakeSpeaker speaker(config);
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({&speaker}));

        discovery.searchForDevices(std::nullopt);
        if (announced) {
            QTRY_COMPARE(notifications.announced.size(), 1);
            QCOMPARE(discovery.devices().size(), 1);
        } else {
            QTRY_VERIFY(log.find(QStringLiteral("Ignoring BOOST")) >= 0 ||
                        log.find(QStringLiteral("fetchDeviceInfo failed: ")) >= 0);
            QTest::qWait(50);
            QCOMPARE(notifications.announced.size(), 0);
            QVERIFY(discovery.devices().isEmpty());
        }
        discovery.stopSearching();
        if (!expectLog.isEmpty())
            QVERIFY(log.find(expectLog) >= 0);
        if (!expectWarning.isEmpty())
            QVERIFY(log.has(Level::Warning, kSSDP, expectWarning));
        if (description == int(FakeSpeaker::Config::Description::Huge)) {
            // Aborted soon after the limit, not after the whole 64 MiB; what the
            // kernel's socket buffers took on loopback counts as sent.
            QTRY_VERIFY(speaker.hugeClientHungUp());
            QVERIFY2(speaker.hugeBytesSent() < 32 * 1024 * 1024,
                     qPrintable(QString::number(speaker.hugeBytesSent())));
        }
    }

    void handlesDescriptionsWithoutUdn()
    {
        Notifications notifications;
        FakeSpeaker::Config config;
        config.description = FakeSpeaker::Config::Description::NoUdn;
        FakeSpeaker speaker(config);
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({&speaker}));
        discovery.searchForDevices(std::nullopt);
        QTRY_COMPARE(notifications.announced.size(), 1);
        discovery.stopSearching();
        QCOMPARE(notifications.announced.first().topology,
                 DeviceTopology(true, speaker.location().toString()));
        // Nothing to look the speaker up by.
        QCOMPARE(speaker.requests().size(), 2);
    }

    void failsFetchesCleanly_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("expectError");
        QTest::addColumn<QString>("expectWarning");
        QTest::newRow("nobody listening")
            << QStringLiteral("http://127.0.0.1:%1/xml/device_description.xml")
            << QStringLiteral("Failed to fetch XML from http://127.0.0.1:")
            << QStringLiteral("fetchDeviceInfo failed: Error Domain=QNetworkReplyErrorDomain");
        QTest::newRow("no topology URL can be formed")
            << QString() << QString()
            << QStringLiteral(
                   "fetchDeviceInfo failed: Error Domain=InvalidDeviceLocationErrorDomain Code=-1");
    }

    void failsFetchesCleanly()
    {
        QFETCH(QString, location);
        QFETCH(QString, expectError);
        QFETCH(QString, expectWarning);
        LogCapture log;
        Notifications notifications;
        QTcpServer closed; // a port nobody listens on once closed
        QVERIFY(closed.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        const quint16 port = closed.serverPort();
        closed.close();

        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({}));
        discovery.searchForDevices(std::nullopt);
        const QUrl url = location.isEmpty() ? QUrl() : QUrl(location.arg(port));
        discovery.discoveredDevice(responseFor(url), *discovery.session());
        QTRY_VERIFY(log.has(Level::Warning, kSSDP, expectWarning));
        if (!expectError.isEmpty())
            QVERIFY(log.has(Level::Error, kNone, expectError));
        QCOMPARE(notifications.announced.size(), 0);
        discovery.stopSearching();
    }

    void slowDescriptionTimesOut()
    {
        LogCapture log;
        FakeSpeaker::Config config;
        config.httpDelayMs = 5000;
        FakeSpeaker speaker(config);
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({&speaker}, 150ms));
        discovery.searchForDevices(std::nullopt);
        QTRY_VERIFY(log.has(Level::Warning, kSSDP, QStringLiteral("fetchDeviceInfo failed: ")));
        QVERIFY(
            log.has(Level::Error, kNone,
                    QStringLiteral("Failed to fetch XML from ") + speaker.location().toString()));
        discovery.stopSearching();
    }

    void announcesEveryAnswerItIsHanded()
    {
        LogCapture log;
        Notifications notifications;
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        DeviceDiscovery discovery(optionsFor({}));
        discovery.searchForDevices(std::nullopt);
        const auto session = discovery.session();
        QVERIFY(session);

        // The SSDP client filters repeats within a session; whatever it hands
        // on is fetched and announced.
        discovery.discoveredDevice(responseFor(speaker.location()), *session);
        discovery.discoveredDevice(responseFor(speaker.location()), *session);
        SSDPMSearchResponse service = responseFor(speaker.location());
        service.searchTarget = QStringLiteral("urn:schemas-upnp-org:service:ZoneGroupTopology:1");
        discovery.discoveredService(service, *session);
        QTRY_COMPARE(notifications.announced.size(), 2);
        QCOMPARE(discovery.devices().size(), 1);
        QCOMPARE(speaker.requests().count(QStringLiteral("GET /xml/device_description.xml")), 2);
        QVERIFY(log.has(Level::Info, kSSDP, QStringLiteral("discoveredService(")));
        discovery.stopSearching();
    }

    void sessionLifecycle()
    {
        LogCapture log;
        Notifications notifications;
        DeviceDiscovery discovery(optionsFor({}));

        // Stopping with nothing running still completes.
        discovery.stopSearching();
        QCOMPARE(notifications.order, QStringList({"discoveryComplete"}));
        QVERIFY(log.has(Level::Info, kSSDP, QStringLiteral("stopSearching")));

        // Stopping a running session: once from stopSearching, once from its close.
        notifications.order.clear();
        discovery.searchForDevices(10.0);
        QVERIFY(discovery.isSearching());
        discovery.stopSearching();
        QVERIFY(!discovery.isSearching());
        QTRY_COMPARE(notifications.order,
                     QStringList({"discoveryStarted", "discoveryComplete", "discoveryComplete"}));

        // A second search replaces the first, whose close still clears the field.
        notifications.order.clear();
        discovery.searchForDevices(0.1);
        const auto first = discovery.session();
        discovery.searchForDevices(10.0);
        const auto second = discovery.session();
        QVERIFY(first != second);
        QVERIFY(first->isOpen());
        QTRY_COMPARE(notifications.count(QStringLiteral("discoveryComplete")), 1);
        QVERIFY(!discovery.isSearching());
        QVERIFY(second->isOpen());
        second->end();
        QTRY_COMPARE(notifications.count(QStringLiteral("discoveryComplete")), 2);
    }

    void failedStartOnlyCompletes()
    {
        LogCapture log;
        Notifications notifications;
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        DeviceDiscovery::Options options = optionsFor({});
        options.ssdp.bindAddress = QHostAddress(QStringLiteral("127.0.0.1"));
        options.ssdp.bindPort = holder.localPort();
        DeviceDiscovery discovery(options);

        discovery.searchForDevices(8.0);
        QCOMPARE(notifications.order, QStringList({"discoveryComplete"}));
        QVERIFY(!discovery.isSearching());
        QVERIFY(log.has(Level::Error, kSSDP,
                        QStringLiteral("Failed to establish socket for M-SEARCH broadcasts: ")));
    }

    void discoversThroughFakeSpeakerProgram()
    {
        Notifications notifications;
        QProcess fakes;
        fakes.start(QStringLiteral(FAKE_SPEAKER_PATH),
                    {"--count", "3", "--address", "127.0.0.20", "--firmware", "old"});
        QVERIFY(fakes.waitForStarted());
        DeviceDiscovery::Options options = optionsFor({});
        QByteArray output;
        while (!output.contains("ready\n")) {
            QVERIFY2(fakes.waitForReadyRead(5000), fakes.readAllStandardError().constData());
            output += fakes.readAllStandardOutput();
        }
        for (const QByteArray& line : output.split('\n')) {
            const qsizetype at = line.indexOf(" ssdp=");
            if (at < 0)
                continue;
            const QList<QByteArray> endpoint =
                line.mid(at + 6, line.indexOf(' ', at + 1) - at - 6).split(':');
            options.ssdp.destinations.append(
                {QHostAddress(QString::fromLatin1(endpoint[0])), endpoint[1].toUShort()});
        }
        QCOMPARE(options.ssdp.destinations.size(), 3);

        DeviceDiscovery discovery(options);
        discovery.searchForDevices(std::nullopt);
        QTRY_COMPARE(notifications.announced.size(), 3);
        discovery.stopSearching();
        QStringList rooms;
        for (const Announcement& found : notifications.announced)
            rooms.append(*found.info.roomName);
        rooms.sort();
        QCOMPARE(rooms, QStringList({"Kitchen 1", "Kitchen 2", "Kitchen 3"}));
        fakes.terminate();
        QVERIFY(fakes.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestDeviceDiscovery)
#include "tst_DeviceDiscovery.moc"
