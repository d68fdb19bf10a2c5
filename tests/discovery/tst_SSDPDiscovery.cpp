#include "LogCapture.h"
#include "discovery/SSDPDiscovery.h"
#include "discovery/SSDPDiscoveryDelegate.h"
#include "discovery/SSDPDiscoverySession.h"
#include "support/FakeSpeaker.h"

#include <QUdpSocket>
#include <QtTest>

#include <cmath>
#include <functional>

namespace {

using namespace std::chrono_literals;

// Records every callback; optionally acts inside one.
class Recorder : public SSDPDiscoveryDelegate {
public:
    void discoveredDevice(const SSDPMSearchResponse& response,
                          SSDPDiscoverySession& session) override
    {
        devices.append(response);
        if (onDevice)
            onDevice(session);
    }
    void discoveredService(const SSDPMSearchResponse& response, SSDPDiscoverySession&) override
    {
        services.append(response);
    }
    void closedSession(SSDPDiscoverySession&) override { ++closed; }

    QList<SSDPMSearchResponse> devices;
    QList<SSDPMSearchResponse> services;
    int closed = 0;
    std::function<void(SSDPDiscoverySession&)> onDevice;
};

SSDPDiscovery::Options optionsFor(const QList<FakeSpeaker*>& speakers)
{
    SSDPDiscovery::Options options;
    options.destinations.clear();
    for (const FakeSpeaker* speaker : speakers)
        options.destinations.append({speaker->config().address, speaker->ssdpPort()});
    options.retransmitInterval = 30ms;
    return options;
}

SSDPMSearchRequest zonePlayerRequest(SSDPDiscoveryDelegate* delegate)
{
    SSDPMSearchRequest request;
    request.delegate = delegate;
    request.searchTarget =
        SSDPSearchTarget::deviceType(SSDPSearchTarget::upnpOrgSchema, "ZonePlayer", 1);
    return request;
}

} // namespace

class TestSSDPDiscovery : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sendsThreeSearchesEarly()
    {
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        SSDPDiscovery discovery(optionsFor({&speaker}));
        Recorder recorder;
        const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), 0.5);
        QVERIFY(started);

        QTRY_COMPARE(recorder.closed, 1);
        QCOMPARE(speaker.searches().size(), 3);
        const QByteArray search = speaker.searches().first();
        QVERIFY(search.startsWith("M-SEARCH * HTTP/1.1\r\n"));
        QVERIFY(search.contains(
            QStringLiteral("\r\nHOST: 127.0.0.2:%1\r\n").arg(speaker.ssdpPort()).toLatin1()));
        QVERIFY(search.contains("\r\nMX: 1\r\n"));
        QVERIFY(search.contains("\r\nST: urn:schemas-upnp-org:device:ZonePlayer:1\r\n"));
        // Answered three times, the same speaker still reaches the delegate once.
        QCOMPARE(recorder.devices.size(), 1);
        QCOMPARE(recorder.devices.first().location, speaker.location());
        QCOMPARE(recorder.devices.first().usn, speaker.usn());
    }

    void passesEachAnswerOncePerSession_data()
    {
        QTest::addColumn<int>("answersPerSearch");
        QTest::addColumn<int>("speakers");
        QTest::newRow("one answer, one speaker") << 1 << 1;
        QTest::newRow("repeated answers") << 4 << 1;
        QTest::newRow("three speakers answering twice") << 2 << 3;
    }

    void passesEachAnswerOncePerSession()
    {
        QFETCH(int, answersPerSearch);
        QFETCH(int, speakers);

        QList<FakeSpeaker*> fakes;
        for (int i = 0; i < speakers; ++i) {
            FakeSpeaker::Config config;
            config.address = QHostAddress(
                QHostAddress(QStringLiteral("127.0.0.2")).toIPv4Address() + quint32(i));
            config.udn = QStringLiteral("RINCON_00000000000%101400").arg(i);
            config.answersPerSearch = answersPerSearch;
            fakes.append(new FakeSpeaker(config, this));
            QVERIFY(fakes.last()->start());
        }
        SSDPDiscovery discovery(optionsFor(fakes));
        Recorder recorder;
        QVERIFY(discovery.beginSearch(zonePlayerRequest(&recorder), 0.25));
        QTRY_COMPARE(recorder.closed, 1);
        QCOMPARE(recorder.devices.size(), speakers);

        // A new session passes the same answers on again.
        QVERIFY(discovery.beginSearch(zonePlayerRequest(&recorder), 0.25));
        QTRY_COMPARE(recorder.closed, 2);
        QCOMPARE(recorder.devices.size(), 2 * speakers);
        qDeleteAll(fakes);
    }

    void splitsDevicesFromServices()
    {
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        SSDPDiscovery discovery(optionsFor({&speaker}));
        Recorder recorder;
        SSDPMSearchRequest request = zonePlayerRequest(&recorder);
        request.searchTarget = SSDPSearchTarget::all();
        QVERIFY(discovery.beginSearch(request, 0.3));
        QTRY_COMPARE(recorder.closed, 1);

        QStringList deviceTargets;
        for (const auto& response : recorder.devices)
            deviceTargets.append(response.searchTarget);
        deviceTargets.sort();
        QCOMPARE(deviceTargets, QStringList({QStringLiteral("upnp:rootdevice"),
                                             QStringLiteral("urn:schemas-upnp-org:device:"
                                                            "ZonePlayer:1")}));
        QCOMPARE(recorder.services.size(), 1);
        QCOMPARE(recorder.services.first().searchTarget,
                 QStringLiteral("urn:schemas-upnp-org:service:ZoneGroupTopology:1"));
    }

    void dropsHostileDatagrams_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        const QByteArray good = "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.9:1400/d.xml\r\n"
                                "ST: urn:schemas-upnp-org:device:ZonePlayer:1\r\nUSN: x\r\n\r\n";
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("huge") << good + QByteArray(60000, 'A');
        QTest::newRow("just over the limit")
            << good + QByteArray(SSDPMSearchResponse::kMaxDatagramSize - good.size() + 1, ' ');
        QTest::newRow("random bytes")
            << QByteArray::fromHex("00ff13370a0d0a0d48545450ff2f312e3120323030");
        QTest::newRow("answer for another target")
            << QByteArray(good).replace("device:ZonePlayer", "device:MediaRenderer");
        QTest::newRow("file location")
            << QByteArray(good).replace("http://127.0.0.9:1400/d.xml", "file:///etc/shadow");
        QTest::newRow("only CRs") << QByteArray(good).replace('\n', "");
        QByteArray flood = "HTTP/1.1 200 OK\r\n";
        while (flood.size() < 8000)
            flood += "A:\r\n";
        QTest::newRow("header flood") << flood;
    }

    void dropsHostileDatagrams()
    {
        QFETCH(QByteArray, datagram);
        LogCapture log;
        SSDPDiscovery::Options options;
        options.destinations.clear(); // nothing to search; the test sends the answers
        SSDPDiscovery discovery(options);
        Recorder recorder;
        const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), 5.0);
        QVERIFY(started);

        QUdpSocket attacker;
        QVERIFY(attacker.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        const QHostAddress target(QStringLiteral("127.0.0.1"));
        const quint16 port = started.session->localPort();
        attacker.writeDatagram(datagram, target, port);
        attacker.writeDatagram("HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.2:1400/ok.xml\r\n"
                               "ST: urn:schemas-upnp-org:device:ZonePlayer:1\r\n\r\n",
                               target, port);
        QTRY_COMPARE(recorder.devices.size(), 1);
        QCOMPARE(recorder.devices.first().location,
                 QUrl(QStringLiteral("http://127.0.0.2:1400/ok.xml")));
        QCOMPARE(recorder.services.size(), 0);
        if (!datagram.isEmpty())
            QVERIFY(log.has(Logging::Level::Debug, QStringLiteral("SSDP"),
                            QStringLiteral("Dropping SSDP")));
        started.session->end();
        QTRY_COMPARE(recorder.closed, 1);
    }

    void boundsTheAnswersOfOneSession()
    {
        SSDPDiscovery::Options options;
        options.destinations.clear();
        SSDPDiscovery discovery(options);
        Recorder recorder;
        const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), std::nullopt);
        QVERIFY(started);
        QUdpSocket flooder;
        const int sent = SSDPDiscoverySession::kMaxAnswers + 50;
        for (int i = 0; i < sent; ++i) {
            flooder.writeDatagram(QStringLiteral("HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.2/%1"
                                                 "\r\nST: urn:schemas-upnp-org:device:ZonePlayer:1"
                                                 "\r\nUSN: %1\r\n\r\n")
                                      .arg(i)
                                      .toLatin1(),
                                  QHostAddress(QStringLiteral("127.0.0.1")),
                                  started.session->localPort());
            if (i % 100 == 0)
                QCoreApplication::processEvents(); // keep within the socket's buffer
        }
        QTRY_COMPARE(recorder.devices.size(), SSDPDiscoverySession::kMaxAnswers);
        QTest::qWait(50);
        QCOMPARE(recorder.devices.size(), SSDPDiscoverySession::kMaxAnswers);
        started.session->end();
        QTRY_COMPARE(recorder.closed, 1);
    }

    void endsOnceAndFallsSilent_data()
    {
        QTest::addColumn<bool>("endFromCallback");
        QTest::newRow("end() from the caller") << false;
        QTest::newRow("end() inside discoveredDevice") << true;
    }

    void endsOnceAndFallsSilent()
    {
        QFETCH(bool, endFromCallback);
        FakeSpeaker::Config late;
        late.address = QHostAddress(QStringLiteral("127.0.0.3"));
        late.ssdpDelayMs = 150;
        FakeSpeaker quick({});
        FakeSpeaker slow(late);
        QVERIFY(quick.start());
        QVERIFY(slow.start());
        SSDPDiscovery discovery(optionsFor({&quick, &slow}));
        Recorder recorder;
        if (endFromCallback)
            recorder.onDevice = [](SSDPDiscoverySession& session) {
                session.end();
                session.end();
            };
        const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), std::nullopt);
        QVERIFY(started);
        QTRY_COMPARE(recorder.devices.size(), 1);
        if (!endFromCallback) {
            started.session->end();
            started.session->end();
        }
        QVERIFY(!started.session->isOpen());
        QCOMPARE(recorder.closed, 1); // reported within end()
        QTRY_VERIFY(slow.searches().size() >= 1);
        QTest::qWait(300); // the slow speaker's answer arrives after the end
        QCOMPARE(recorder.devices.size(), 1);
        QCOMPARE(recorder.closed, 1);
    }

    void timesOutOnce()
    {
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        SSDPDiscovery discovery(optionsFor({&speaker}));
        Recorder recorder;
        const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), 0.1);
        QVERIFY(started);
        QTRY_COMPARE(recorder.closed, 1);
        QVERIFY(!started.session->isOpen());
        started.session->end(); // too late: nothing more happens
        QTest::qWait(100);
        QCOMPARE(recorder.closed, 1);
    }

    void refusesToStart_data()
    {
        QTest::addColumn<bool>("portTaken");
        QTest::addColumn<double>("timeout");
        QTest::newRow("port taken") << true << 1.0;
        QTest::newRow("negative time-out") << false << -1.0;
        QTest::newRow("time-out not a number") << false << std::nan("");
    }

    void refusesToStart()
    {
        QFETCH(bool, portTaken);
        QFETCH(double, timeout);
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        SSDPDiscovery::Options options;
        options.destinations.clear();
        if (portTaken) {
            options.bindAddress = QHostAddress(QStringLiteral("127.0.0.1"));
            options.bindPort = holder.localPort();
        }
        SSDPDiscovery discovery(options);
        Recorder recorder;
        const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), timeout);
        QVERIFY(!started);
        QVERIFY(!started.error.isEmpty());
        QTest::qWait(20);
        QCOMPARE(recorder.closed, 0);
    }

    void goesQuietWhenDestroyed()
    {
        FakeSpeaker speaker({});
        QVERIFY(speaker.start());
        Recorder recorder;
        std::shared_ptr<SSDPDiscoverySession> session;
        {
            SSDPDiscovery discovery(optionsFor({&speaker}));
            const auto started = discovery.beginSearch(zonePlayerRequest(&recorder), 0.05);
            QVERIFY(started);
            session = started.session;
        }
        QVERIFY(!session->isOpen());
        QTest::qWait(150);
        QCOMPARE(recorder.closed, 0);
    }
};

QTEST_GUILESS_MAIN(TestSSDPDiscovery)
#include "tst_SSDPDiscovery.moc"
