#include "discovery/SSDPMSearchRequest.h"
#include "discovery/SSDPMSearchResponse.h"
#include "discovery/SSDPSearchTarget.h"

#include "Version.h"

#include <QtTest>

namespace {

const QByteArray kSonosAnswer =
    "HTTP/1.1 200 OK\r\n"
    "CACHE-CONTROL: max-age = 1800\r\n"
    "EXT:\r\n"
    "LOCATION: http://192.168.1.20:1400/xml/device_description.xml\r\n"
    "SERVER: Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)\r\n"
    "ST: urn:schemas-upnp-org:device:ZonePlayer:1\r\n"
    "USN: uuid:RINCON_48A6B8C0FFEE01400::urn:schemas-upnp-org:device:ZonePlayer:1\r\n"
    "X-RINCON-HOUSEHOLD: Sonos_kQ9vA1bB2cC3dD4eE5fF6gG7hH\r\n"
    "X-RINCON-BOOTSEQ: 74\r\n"
    "\r\n";

QByteArray withLine(const QByteArray& from, const QByteArray& to)
{
    QByteArray copy = kSonosAnswer;
    return copy.replace(from, to);
}

} // namespace

class TestSSDPMSearchResponse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsSonosAnswer()
    {
        const auto response = SSDPMSearchResponse::parse(kSonosAnswer);
        QVERIFY(response);
        QCOMPARE(response->location,
                 QUrl(QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml")));
        QCOMPARE(response->server, QStringLiteral("Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)"));
        QCOMPARE(response->searchTarget,
                 QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1"));
        QCOMPARE(response->usn, QStringLiteral("uuid:RINCON_48A6B8C0FFEE01400::urn:schemas-upnp-"
                                               "org:device:ZonePlayer:1"));
        QCOMPARE(response->maxAge, 1800);
        // Every header is kept as received, in order, with its original spelling.
        QCOMPARE(response->headers.size(), 8);
        QCOMPARE(response->headers[1].first, QByteArray("EXT"));
        QCOMPARE(response->headers[1].second, QByteArray());
        QCOMPARE(response->header("x-rincon-household"),
                 QByteArray("Sonos_kQ9vA1bB2cC3dD4eE5fF6gG7hH"));
    }

    void acceptsOrRefuses_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("location");

        const QString sonos = QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml");
        QTest::newRow("bare LF line ends")
            << QByteArray(kSonosAnswer).replace("\r\n", "\n") << true << sonos;
        QTest::newRow("header names in any case")
            << withLine("LOCATION: ", "location:") << true << sonos;
        QTest::newRow("HTTP/1.0 status line")
            << withLine("HTTP/1.1 200 OK", "HTTP/1.0 200 OK") << true << sonos;
        QTest::newRow("stray line without colon")
            << withLine("EXT:\r\n", "EXT:\r\ngarbage\r\n") << true << sonos;
        QTest::newRow("lines after the blank line are no headers")
            << withLine("LOCATION: http://192.168.1.20:1400/xml/device_description.xml\r\n", "")
                   .append("LOCATION: http://192.168.1.99/\r\n")
            << false << QString();

        QTest::newRow("no LOCATION") << withLine("LOCATION:", "X-LOCATION:") << false << QString();
        QTest::newRow("relative LOCATION")
            << withLine("http://192.168.1.20:1400/xml", "/xml") << false << QString();
        QTest::newRow("https LOCATION") << withLine("http://", "https://") << false << QString();
        QTest::newRow("file LOCATION")
            << withLine("http://192.168.1.20:1400/xml/device_description.xml", "file:///etc/passwd")
            << false << QString();
        QTest::newRow("LOCATION without host")
            << withLine("http://192.168.1.20:1400/xml/device_description.xml", "http://") << false
            << QString();
        QTest::newRow("no ST") << withLine("ST:", "XST:") << false << QString();
        QTest::newRow("not 200") << withLine("200 OK", "404 Not Found") << false << QString();
        QTest::newRow("NOTIFY") << withLine("HTTP/1.1 200 OK", "NOTIFY * HTTP/1.1") << false
                                << QString();
        QTest::newRow("our own M-SEARCH")
            << withLine("HTTP/1.1 200 OK", "M-SEARCH * HTTP/1.1") << false << QString();
        QTest::newRow("empty") << QByteArray() << false << QString();
        QTest::newRow("NUL byte") << withLine("EXT:", QByteArray("EXT:\0x", 6)) << false
                                  << QString();
        QTest::newRow("binary") << QByteArray::fromHex(
                                       "ffd8ffe000104a46494600010101004800480000ffdb0043")
                                << false << QString();
        QTest::newRow("oversized")
            << withLine("EXT:", "EXT: " + QByteArray(SSDPMSearchResponse::kMaxDatagramSize, 'x'))
            << false << QString();
        QByteArray manyHeaders;
        for (int i = 0; i < 200; ++i)
            manyHeaders += "X-" + QByteArray::number(i) + ": y\r\n";
        QTest::newRow("too many headers")
            << withLine("EXT:\r\n", manyHeaders) << false << QString();
    }

    void acceptsOrRefuses()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(bool, accepted);
        QFETCH(QString, location);

        QString reason;
        const auto response = SSDPMSearchResponse::parse(datagram, &reason);
        QCOMPARE(response.has_value(), accepted);
        if (accepted)
            QCOMPARE(response->location, QUrl(location));
        else
            QVERIFY(!reason.isEmpty());
    }

    void readsMaxAge_data()
    {
        QTest::addColumn<QByteArray>("cacheControl");
        QTest::addColumn<std::optional<qint64>>("maxAge");
        QTest::newRow("spaced") << QByteArray("max-age = 1800") << std::optional<qint64>(1800);
        QTest::newRow("among directives")
            << QByteArray("no-cache, MAX-AGE=60") << std::optional<qint64>(60);
        QTest::newRow("not a number") << QByteArray("max-age=soon") << std::optional<qint64>();
        QTest::newRow("negative") << QByteArray("max-age=-5") << std::optional<qint64>();
        QTest::newRow("absurdly long")
            << QByteArray("max-age=99999999999999999999999") << std::optional<qint64>();
    }

    void readsMaxAge()
    {
        QFETCH(QByteArray, cacheControl);
        QFETCH(std::optional<qint64>, maxAge);
        const auto response = SSDPMSearchResponse::parse(withLine("max-age = 1800", cacheControl));
        QVERIFY(response);
        QCOMPARE(response->maxAge, maxAge);
    }

    void namesTargets_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("service");
        const SSDPSearchTarget zonePlayer =
            SSDPSearchTarget::deviceType(SSDPSearchTarget::upnpOrgSchema, "ZonePlayer", 1);
        const SSDPSearchTarget topology =
            SSDPSearchTarget::serviceType(SSDPSearchTarget::upnpOrgSchema, "ZoneGroupTopology", 1);
        QTest::newRow("all") << SSDPSearchTarget::all().toString() << false;
        QTest::newRow("root device") << SSDPSearchTarget::rootDevice().toString() << false;
        QTest::newRow("device type") << zonePlayer.toString() << false;
        QTest::newRow("service type") << topology.toString() << true;
        QTest::newRow("vendor service")
            << QStringLiteral("urn:sonos-com:service:HTControl:1") << true;
        QTest::newRow("uuid") << QStringLiteral("uuid:RINCON_48A6B8C0FFEE01400") << false;
    }

    void namesTargets()
    {
        QFETCH(QString, text);
        QFETCH(bool, service);
        QCOMPARE(SSDPSearchTarget::isServiceTarget(text), service);
        QCOMPARE(SSDPSearchTarget::deviceType(SSDPSearchTarget::upnpOrgSchema, "ZonePlayer", 1)
                     .toString(),
                 QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1"));
    }

    void writesMSearch()
    {
        SSDPMSearchRequest request;
        request.searchTarget =
            SSDPSearchTarget::deviceType(SSDPSearchTarget::upnpOrgSchema, "ZonePlayer", 1);
        request.maximumWaitResponseTime = 9; // beyond what UDA 1.1 allows
        request.extraHeaders = {{"CPFN.UPNP.ORG", "Corvane"}, {"X-EVIL", "1\r\nST: ssdp:all"}};
        const QByteArray datagram = request.datagram(QStringLiteral("239.255.255.250"), 1900);

        QVERIFY(datagram.startsWith("M-SEARCH * HTTP/1.1\r\n"));
        QVERIFY(datagram.endsWith("\r\n\r\n"));
        QVERIFY(datagram.contains("\r\nHOST: 239.255.255.250:1900\r\n"));
        QVERIFY(datagram.contains("\r\nMAN: \"ssdp:discover\"\r\n"));
        QVERIFY(datagram.contains("\r\nMX: 5\r\n"));
        QVERIFY(datagram.contains("\r\nST: urn:schemas-upnp-org:device:ZonePlayer:1\r\n"));
        QVERIFY(datagram.contains(QByteArray("\r\nUSER-AGENT: Linux UPnP/1.1 Corvane/") +
                                  corvane::kVersion + "\r\n"));
        QVERIFY(datagram.contains("\r\nCPFN.UPNP.ORG: Corvane\r\n"));
        QVERIFY(!datagram.contains("X-EVIL"));
        QCOMPARE(datagram.count("\r\nST:"), 1);
    }
};

QTEST_GUILESS_MAIN(TestSSDPMSearchResponse)
#include "tst_SSDPMSearchResponse.moc"
