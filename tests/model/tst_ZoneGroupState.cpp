#include "model/XmlText.h"
#include "model/ZoneGroupState.h"
#include "support/TestData.h"

#include <QtTest>

namespace {

std::optional<DeviceTopology> topologyIn(const QByteArray& document, const QString& uuid)
{
    pugi::xml_document xml;
    XmlText::parse(xml, document);
    return ZoneGroupState(xml).topologyFor(uuid);
}

} // namespace

class TestZoneGroupState : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void placesSpeakers_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("uuid");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("coordinator");
        QTest::addColumn<QString>("group");

        const QString three = QStringLiteral("zgs-group-of-three.xml");
        const QString threeGroup = QStringLiteral("RINCON_48A6B8C0FFEE01400:1854027291");
        QTest::newRow("group of three: coordinator listed second")
            << three << "RINCON_48A6B8C0FFEE01400" << true << true << threeGroup;
        QTest::newRow("group of three: member")
            << three << "RINCON_5CAAFD0A1B2C01400" << true << false << threeGroup;
        QTest::newRow("lone speaker beside the group")
            << three << "RINCON_000E58AABBCC01400" << true << true << "RINCON_000E58AABBCC01400:40";
        QTest::newRow("unknown speaker")
            << three << "RINCON_000000000000001400" << false << false << QString();

        const QString pair = QStringLiteral("zgs-stereo-pair.xml");
        QTest::newRow("stereo pair: left leads") << pair << "RINCON_542A1B0C0D0E01400" << true
                                                 << true << "RINCON_542A1B0C0D0E01400:2071";
        QTest::newRow("stereo pair: invisible right") << pair << "RINCON_542A1B0F1A1B01400" << true
                                                      << false << "RINCON_542A1B0C0D0E01400:2071";

        const QString ht = QStringLiteral("zgs-home-theatre.xml");
        const QString htGroup = QStringLiteral("RINCON_F0F6C1A0B0C001400:3119");
        QTest::newRow("home theatre: soundbar")
            << ht << "RINCON_F0F6C1A0B0C001400" << true << true << htGroup;
        QTest::newRow("home theatre: sub")
            << ht << "RINCON_F0F6C1A0B0C101400" << true << false << htGroup;
        QTest::newRow("home theatre: left surround")
            << ht << "RINCON_F0F6C1A0B0C201400" << true << false << htGroup;

        const QString bridge = QStringLiteral("zgs-zone-bridge.xml");
        QTest::newRow("zone bridge coordinates nothing")
            << bridge << "RINCON_000E58D1E2F301400" << true << false
            << "RINCON_000E58D1E2F301400:12";
    }

    void placesSpeakers()
    {
        QFETCH(QString, file);
        QFETCH(QString, uuid);
        QFETCH(bool, listed);
        QFETCH(bool, coordinator);
        QFETCH(QString, group);

        const auto topology = topologyIn(testData(QStringLiteral("discovery/") + file), uuid);
        QCOMPARE(topology.has_value(), listed);
        if (listed)
            QCOMPARE(*topology, DeviceTopology(coordinator, group));
    }

    void readsOddDocuments_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("coordinator");

        QTest::newRow("older firmware: ZoneGroups at the root")
            << QByteArray("<ZoneGroups><ZoneGroup Coordinator=\"RINCON_A\" ID=\"RINCON_A:1\">"
                          "<ZoneGroupMember UUID=\"RINCON_A\"/></ZoneGroup></ZoneGroups>")
            << true << true;
        QTest::newRow("group without ID is unusable")
            << QByteArray("<ZoneGroupState><ZoneGroups><ZoneGroup Coordinator=\"RINCON_A\">"
                          "<ZoneGroupMember UUID=\"RINCON_A\"/></ZoneGroup></ZoneGroups>"
                          "</ZoneGroupState>")
            << false << false;
        QTest::newRow("member listing wins over a satellite entry")
            << QByteArray("<ZoneGroups><ZoneGroup Coordinator=\"RINCON_B\" ID=\"G1\">"
                          "<ZoneGroupMember UUID=\"RINCON_B\"><Satellite UUID=\"RINCON_A\"/>"
                          "</ZoneGroupMember></ZoneGroup><ZoneGroup Coordinator=\"RINCON_A\" "
                          "ID=\"G2\"><ZoneGroupMember UUID=\"RINCON_A\"/></ZoneGroup></ZoneGroups>")
            << true << true;
        QTest::newRow("invisible=true reads as invisible")
            << QByteArray("<ZoneGroups><ZoneGroup Coordinator=\"RINCON_A\" ID=\"G1\">"
                          "<ZoneGroupMember UUID=\"RINCON_A\" Invisible=\"true\"/></ZoneGroup>"
                          "</ZoneGroups>")
            << true << false;
        QTest::newRow("topology page is no zone group state")
            << QByteArray("<ZPSupportInfo><ZonePlayers><ZonePlayer uuid=\"RINCON_A\" group=\"G\" "
                          "coordinator=\"true\"/></ZonePlayers></ZPSupportInfo>")
            << false << false;
        QTest::newRow("not XML") << QByteArray("<<<&&&") << false << false;
    }

    void readsOddDocuments()
    {
        QFETCH(QByteArray, document);
        QFETCH(bool, listed);
        QFETCH(bool, coordinator);

        const auto topology = topologyIn(document, QStringLiteral("RINCON_A"));
        QCOMPARE(topology.has_value(), listed);
        if (listed)
            QCOMPARE(topology->coordinator, coordinator);
    }

    void extractsStateFromSoap_data()
    {
        QTest::addColumn<QByteArray>("envelope");
        QTest::addColumn<bool>("found");

        QTest::newRow("s: and u: prefixes")
            << QByteArray("<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                          "<s:Body><u:GetZoneGroupStateResponse xmlns:u=\"urn:schemas-upnp-org:"
                          "service:ZoneGroupTopology:1\"><ZoneGroupState>&lt;ZoneGroups&gt;&lt;"
                          "ZoneGroup Coordinator=&quot;RINCON_A&quot; ID=&quot;G9&quot;&gt;&lt;"
                          "ZoneGroupMember UUID=&quot;RINCON_A&quot;/&gt;&lt;/ZoneGroup&gt;&lt;/"
                          "ZoneGroups&gt;</ZoneGroupState></u:GetZoneGroupStateResponse></s:Body>"
                          "</s:Envelope>")
            << true;
        QTest::newRow("SOAP fault")
            << QByteArray("<s:Envelope><s:Body><s:Fault><faultcode>s:Client</faultcode>"
                          "<faultstring>UPnPError</faultstring></s:Fault></s:Body></s:Envelope>")
            << false;
    }

    void extractsStateFromSoap()
    {
        QFETCH(QByteArray, envelope);
        QFETCH(bool, found);

        pugi::xml_document xml;
        XmlText::parse(xml, envelope);
        const auto state = ZoneGroupState::fromSoapResponse(xml);
        QCOMPARE(state.has_value(), found);
        if (found)
            QCOMPARE(topologyIn(*state, QStringLiteral("RINCON_A")),
                     DeviceTopology(true, QStringLiteral("G9")));
    }
};

QTEST_GUILESS_MAIN(TestZoneGroupState)
#include "tst_ZoneGroupState.moc"
