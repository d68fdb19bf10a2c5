#include "discovery/SSDPDiscovery.h"
#include "discovery/SSDPDiscoveryDelegate.h"
#include "discovery/SSDPDiscoverySession.h"

#include <QUdpSocket>
#include <QtTest>

namespace {

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

} // namespace

class TestSSDPDiscovery : public QObject {
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
};

QTEST_GUILESS_MAIN(TestSSDPDiscovery)
#include "tst_SSDPDiscovery.moc"
