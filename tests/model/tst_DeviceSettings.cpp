#include "model/DeviceSettings.h"
#include "model/XmlText.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

const QByteArray kTopology = R"(<?xml-stylesheet type="text/xsl" href="/xml/review.xsl"?>
<ZPSupportInfo><ZonePlayers>
<ZonePlayer group="RINCON_B01400:12" coordinator="false" wirelessmode="0" uuid="RINCON_A01400">Bedroom</ZonePlayer>
<ZonePlayer coordinator="true" uuid="RINCON_C01400">Kitchen (no group)</ZonePlayer>
<ZonePlayer group="G-late" coordinator="1" uuid="RINCON_C01400">Kitchen</ZonePlayer>
<ZonePlayer group="G-odd" coordinator="yes" uuid="RINCON_D01400">Office</ZonePlayer>
<ZonePlayer group="G-zero" coordinator="0" uuid="RINCON_E01400">Bath</ZonePlayer>
</ZonePlayers></ZPSupportInfo>)";

// Fixtures use single quotes so they read as plain string literals.
QJsonObject object(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json).replace('\'', '"')).object();
}

} // namespace

class TestDeviceSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void topologyFromDocument_data()
    {
        QTest::addColumn<QString>("uuid");
        QTest::addColumn<bool>("coordinator");
        QTest::addColumn<QString>("group");

        QTest::newRow("member") << "RINCON_A01400" << false << "RINCON_B01400:12";
        QTest::newRow("later complete entry wins") << "RINCON_C01400" << true << "G-late";
        QTest::newRow("unconvertible coordinator") << "RINCON_D01400" << true << "RINCON_D01400";
        QTest::newRow("zero is false") << "RINCON_E01400" << false << "G-zero";
        QTest::newRow("unknown uuid") << "RINCON_Z01400" << true << "RINCON_Z01400";
    }

    void topologyFromDocument()
    {
        QFETCH(QString, uuid);
        QFETCH(bool, coordinator);
        QFETCH(QString, group);
        pugi::xml_document document;
        XmlText::parse(document, kTopology);
        QCOMPARE(DeviceTopology(document, uuid), DeviceTopology(coordinator, group));
    }

    void recordJsonIsLenientWhereAllowed()
    {
        DeviceSettings defaults;
        defaults.name = QStringLiteral("K");
        defaults.info.location = QUrl(QStringLiteral("http://h/"));
        QCOMPARE(DeviceSettings::fromJson(
                     object("{'name':'K','info':{'location':'http://h/','iconList':[]}}")),
                 defaults);
        // Optional members of the wrong type fall back; active is never read.
        QCOMPARE(DeviceSettings::fromJson(
                     object("{'name':'K','info':{'location':'http://h/','iconList':[]},"
                            "'topology':'G1','enabled':'false','nameChanged':1,'active':true}")),
                 defaults);
        for (const char* topology :
             {"{'coordinator':false}", "{'coordinator':'false','group':'G1'}",
              "{'coordinator':true,'group':1}"})
            QVERIFY(!DeviceTopology::fromJson(object(topology)));

        QVERIFY(!DeviceSettings::fromJson(
            object("{'name':5,'info':{'location':'http://h/','iconList':[]}}")));
        QVERIFY(!DeviceSettings::fromJson(object("{'name':'K','info':{'location':'http://h/'}}")));
    }

    void recordJsonRoundTrip()
    {
        DeviceSettings settings{QStringLiteral("Kitchen"),
                                DeviceInfo(QUrl(QStringLiteral("http://h/"))),
                                DeviceTopology(false, QStringLiteral("G1")),
                                true,
                                false,
                                true};
        const QJsonObject json = settings.toJson();
        QVERIFY(!json.contains(QStringLiteral("active")));
        settings.active = false; // never stored, so it reads back false
        QCOMPARE(DeviceSettings::fromJson(json), settings);
    }
};

QTEST_GUILESS_MAIN(TestDeviceSettings)
#include "tst_DeviceSettings.moc"
