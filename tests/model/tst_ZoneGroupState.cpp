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
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("uuid");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("coordinator");
        QTest::addColumn<QString>("group");

        const QByteArray three = testData(QStringLiteral("discovery/zgs-group-of-three.xml"));
        const QString threeGroup = QStringLiteral("RINCON_48A6B8C0FFEE01400:1854027291");
        QTest::newRow("group of three: coordinator listed second")
            << three << "RINCON_48A6B8C0FFEE01400" << true << true << threeGroup;
        QTest::newRow("group of three: member")
            << three << "RINCON_5CAAFD0A1B2C01400" << true << false << threeGroup;
        QTest::newRow("unknown speaker")
            << three << "RINCON_000000000000001400" << false << false << QString();
        QTest::newRow("home theatre: sub")
            << testData(QStringLiteral("discovery/zgs-home-theatre.xml"))
            << "RINCON_F0F6C1A0B0C101400" << true << false << "RINCON_F0F6C1A0B0C001400:3119";
        QTest::newRow("zone bridge coordinates nothing")
            << testData(QStringLiteral("discovery/zgs-zone-bridge.xml"))
            << "RINCON_000E58D1E2F301400" << true << false << "RINCON_000E58D1E2F301400:12";

        // Older firmware writes ZoneGroups at the root.
        const QByteArray odd =
            "<ZoneGroups><ZoneGroup Coordinator=\"RINCON_N\"><ZoneGroupMember UUID=\"RINCON_N\"/>"
            "</ZoneGroup><ZoneGroup Coordinator=\"RINCON_B\" ID=\"G1\"><ZoneGroupMember "
            "UUID=\"RINCON_B\"><Satellite UUID=\"RINCON_A\"/></ZoneGroupMember></ZoneGroup>"
            "<ZoneGroup Coordinator=\"RINCON_A\" ID=\"G2\"><ZoneGroupMember UUID=\"RINCON_A\"/>"
            "</ZoneGroup><ZoneGroup Coordinator=\"RINCON_I\" ID=\"G3\"><ZoneGroupMember "
            "UUID=\"RINCON_I\" Invisible=\"true\"/></ZoneGroup></ZoneGroups>";
        QTest::newRow("group without ID is unusable")
            << odd << "RINCON_N" << false << false << QString();
        QTest::newRow("member listing wins over a satellite entry")
            << odd << "RINCON_A" << true << true << "G2";
        QTest::newRow("invisible=true reads as invisible")
            << odd << "RINCON_I" << true << false << "G3";
    }

    void placesSpeakers()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, uuid);
        QFETCH(bool, listed);
        QFETCH(bool, coordinator);
        QFETCH(QString, group);

        const auto topology = topologyIn(document, uuid);
        QCOMPARE(topology.has_value(), listed);
        if (listed)
            QCOMPARE(*topology, DeviceTopology(coordinator, group));
    }

    void extractsStateFromSoap()
    {
        pugi::xml_document xml;
        XmlText::parse(xml, testData(QStringLiteral("discovery/soap-zgs-answer.xml")));
        const auto state = ZoneGroupState::fromSoapResponse(xml);
        QVERIFY(state);
        QCOMPARE(topologyIn(*state, QStringLiteral("RINCON_48A6B8C0FFEE01400")),
                 DeviceTopology(true, QStringLiteral("RINCON_48A6B8C0FFEE01400:1854027291")));

        XmlText::parse(xml, "<s:Envelope><s:Body><s:Fault><faultcode>s:Client</faultcode>"
                            "</s:Fault></s:Body></s:Envelope>");
        QVERIFY(!ZoneGroupState::fromSoapResponse(xml));
    }
};

QTEST_GUILESS_MAIN(TestZoneGroupState)
#include "tst_ZoneGroupState.moc"
