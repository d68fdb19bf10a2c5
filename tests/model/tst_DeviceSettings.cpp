#include "model/DeviceSettings.h"
#include "model/XmlText.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

DeviceTopology topologyFor(const QByteArray& xml, const QString& uuid)
{
    pugi::xml_document document;
    XmlText::parse(document, xml);
    return DeviceTopology(document, uuid);
}

const QByteArray kTopology = R"(<?xml version="1.0" ?>
<?xml-stylesheet type="text/xsl" href="/xml/review.xsl"?>
<ZPSupportInfo><ZonePlayers>
<ZonePlayer group="RINCON_B01400:12" coordinator="false" wirelessmode="0" uuid="RINCON_A01400">Bedroom</ZonePlayer>
<ZonePlayer group="RINCON_B01400:12" coordinator="true" uuid="RINCON_B01400">Living Room</ZonePlayer>
<ZonePlayer coordinator="true" uuid="RINCON_C01400">Kitchen (no group)</ZonePlayer>
<ZonePlayer group="G-late" coordinator="1" uuid="RINCON_C01400">Kitchen</ZonePlayer>
<ZonePlayer group="G-odd" coordinator="yes" uuid="RINCON_D01400">Office</ZonePlayer>
<ZonePlayer group="G-zero" coordinator="0" uuid="RINCON_E01400">Bath</ZonePlayer>
</ZonePlayers></ZPSupportInfo>)";

DeviceInfo infoNamed(const QString& room, const QString& display)
{
    DeviceInfo info(QUrl(QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml")));
    info.roomName = room;
    info.displayName = display;
    info.udn = QStringLiteral("uuid:RINCON_A01400");
    return info;
}

std::optional<DeviceSettings> readSettings(const char* json)
{
    // Fixtures use single quotes so they read as plain string literals.
    return DeviceSettings::fromJson(
        QJsonDocument::fromJson(QByteArray(json).replace('\'', '"')).object());
}

} // namespace

class TestDeviceSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void topologyFromDocument_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("uuid");
        QTest::addColumn<bool>("coordinator");
        QTest::addColumn<QString>("group");

        QTest::newRow("member") << kTopology << "RINCON_A01400" << false << "RINCON_B01400:12";
        QTest::newRow("later complete entry wins")
            << kTopology << "RINCON_C01400" << true << "G-late";
        QTest::newRow("unconvertible coordinator")
            << kTopology << "RINCON_D01400" << true << "RINCON_D01400";
        QTest::newRow("zero is false") << kTopology << "RINCON_E01400" << false << "G-zero";
        QTest::newRow("unknown uuid") << kTopology << "RINCON_Z01400" << true << "RINCON_Z01400";
        QTest::newRow("case differs") << kTopology << "rincon_b01400" << true << "rincon_b01400";
        QTest::newRow("placeholder document")
            << QByteArray("<root/>") << "RINCON_B01400" << true << "RINCON_B01400";
        QTest::newRow("not xml") << QByteArray("{\"json\": true}") << "X" << true << "X";
    }

    void topologyFromDocument()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, uuid);
        QFETCH(bool, coordinator);
        QFETCH(QString, group);
        QCOMPARE(topologyFor(xml, uuid), DeviceTopology(coordinator, group));
    }

    void topologyJson()
    {
        const auto read = [](const char* json) {
            return DeviceTopology::fromJson(QJsonDocument::fromJson(json).object());
        };
        QCOMPARE(read(R"({"coordinator":false,"group":"G1"})"),
                 DeviceTopology(false, QStringLiteral("G1")));
        QVERIFY(!read(R"({"coordinator":false})"));
        QVERIFY(!read(R"({"coordinator":"false","group":"G1"})"));
        QVERIFY(!read(R"({"coordinator":true,"group":1})"));
        const DeviceTopology topology(true, QStringLiteral("RINCON_B01400:12"));
        QCOMPARE(DeviceTopology::fromJson(topology.toJson()), topology);
    }

    void recordJsonIsLenientWhereAllowed()
    {
        const auto minimal =
            readSettings("{'name':'Kitchen','info':{'location':'http://h/','iconList':[]}}");
        QVERIFY(minimal);
        QCOMPARE(minimal->name, QStringLiteral("Kitchen"));
        QVERIFY(!minimal->topology);
        QVERIFY(minimal->enabled);
        QVERIFY(!minimal->nameChanged);
        QVERIFY(!minimal->active);

        const auto odd =
            readSettings("{'name':'K','info':{'location':'http://h/','iconList':[]},"
                         "'topology':'G1','enabled':'false','nameChanged':1,'active':true}");
        QVERIFY(odd);
        QVERIFY(!odd->topology);
        QVERIFY(odd->enabled);
        QVERIFY(!odd->nameChanged);
        QVERIFY(!odd->active);

        QVERIFY(!readSettings(
                     "{'name':'K','info':{'location':'http://h/','iconList':[]},'topology':{}}")
                     ->topology);
        QVERIFY(!readSettings("{'info':{'location':'http://h/','iconList':[]}}"));
        QVERIFY(!readSettings("{'name':5,'info':{'location':'http://h/','iconList':[]}}"));
        QVERIFY(!readSettings("{'name':'K','info':{'location':'http://h/'}}"));
        QVERIFY(!readSettings(R"({"name":"K"})"));
    }

    void recordJsonWrite()
    {
        DeviceSettings settings{QStringLiteral("Kitchen"),
                                infoNamed(QStringLiteral("Kitchen"), QStringLiteral("One")),
                                std::nullopt,
                                true,
                                false,
                                true};
        QJsonObject json = settings.toJson();
        QVERIFY(!json.contains(QStringLiteral("topology")));
        QVERIFY(!json.contains(QStringLiteral("active")));

        settings.topology = DeviceTopology(false, QStringLiteral("G1"));
        settings.active = false; // never stored, so it reads back false
        QCOMPARE(DeviceSettings::fromJson(settings.toJson()), settings);
    }
};

QTEST_GUILESS_MAIN(TestDeviceSettings)
#include "tst_DeviceSettings.moc"
