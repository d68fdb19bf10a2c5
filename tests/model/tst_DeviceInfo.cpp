#include "model/DeviceInfo.h"
#include "model/XmlText.h"
#include "support/TestData.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

const QUrl kLocation(QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml"));

DeviceInfo parseDevice(const QByteArray& deviceChildren, const QUrl& location = kLocation)
{
    pugi::xml_document document;
    XmlText::parse(document, "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>" +
                                 deviceChildren + "</device></root>");
    return DeviceInfo(document.child("root").child("device"), location, QStringLiteral("Linux"));
}

// Fixtures use single quotes so they read as plain string literals.
QJsonObject object(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json).replace('\'', '"')).object();
}

} // namespace

class TestDeviceInfo : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parsesWholeSonosDescription()
    {
        pugi::xml_document document;
        QVERIFY(XmlText::parse(document, testData(QStringLiteral("descriptions/sonos-one.xml"))));
        const DeviceInfo info(document.child("root").child("device"), kLocation,
                              QStringLiteral("Linux UPnP/1.0 Sonos/78.1-51030 (ZPS18)"));

        QCOMPARE(info.location, kLocation);
        QCOMPARE(info.server, QStringLiteral("Linux UPnP/1.0 Sonos/78.1-51030 (ZPS18)"));
        QCOMPARE(info.deviceType, QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1"));
        QCOMPARE(info.udn, QStringLiteral("uuid:RINCON_48A6B8C0FFEE01400"));
        QCOMPARE(info.roomName, QStringLiteral("Kitchen"));
        QCOMPARE(info.extraVersion, QString()); // empty element: present and empty
        QVERIFY(info.extraVersion.has_value());
        QCOMPARE(info.zoneType, 25);
        QCOMPARE(info.bassExtension, 75.0f);
        QCOMPARE(info.satGainOffset, 6.0f);
        // The embedded devices' fields and icons are not the speaker's.
        QCOMPARE(info.modelDescription, QStringLiteral("Sonos One"));
        QCOMPARE(info.iconList.size(), 1);
        const DeviceInfo::Icon& icon = *info.iconList.first();
        QCOMPARE(icon.id, 0);
        QCOMPARE(icon.mimetype, QStringLiteral("image/png"));
        QCOMPARE(icon.url, QUrl(QStringLiteral("http://192.168.1.20:1400/img/icon-S18.png")));
        QCOMPARE(info.defaultName(), QStringLiteral("Kitchen - One"));
    }

    void convertsFieldsByType_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("expected"); // "absent" or the value as text

        QTest::newRow("empty text element")
            << QByteArray("<modelName></modelName>") << "modelName=";
        QTest::newRow("text kept untrimmed")
            << QByteArray("<modelName> One </modelName>") << "modelName= One ";
        QTest::newRow("white space only")
            << QByteArray("<modelName>  </modelName>") << "modelName=  ";
        QTest::newRow("lower-case udn ignored") << QByteArray("<udn>uuid:X</udn>") << "udn:absent";
        QTest::newRow("entities decoded")
            << QByteArray("<roomName>Tom &amp; Jerry</roomName>") << "roomName=Tom & Jerry";
        QTest::newRow("integer plus sign") << QByteArray("<zoneType>+5</zoneType>") << "zoneType=5";
        QTest::newRow("integer leading space")
            << QByteArray("<zoneType> 5</zoneType>") << "zoneType:absent";
        QTest::newRow("integer decimal")
            << QByteArray("<zoneType>5.0</zoneType>") << "zoneType:absent";
        QTest::newRow("integer overflow")
            << QByteArray("<memory>9223372036854775808</memory>") << "memory:absent";
        QTest::newRow("integer arabic digits")
            << QByteArray("<memory>\xd9\xa3</memory>") << "memory:absent";
        QTest::newRow("float negative")
            << QByteArray("<bassExtension>-1.5</bassExtension>") << "bassExtension=-1.5";
        QTest::newRow("float trailing junk")
            << QByteArray("<bassExtension>2.5x</bassExtension>") << "bassExtension:absent";
        QTest::newRow("float nan")
            << QByteArray("<bassExtension>nan</bassExtension>") << "bassExtension:absent";
        QTest::newRow("float overflow")
            << QByteArray("<satGainOffset>1e50</satGainOffset>") << "satGainOffset:absent";
        QTest::newRow("url") << QByteArray("<modelURL>http://www.sonos.com/x</modelURL>")
                             << "modelURL=http://www.sonos.com/x";
        QTest::newRow("url with space")
            << QByteArray("<modelURL>http://a b/</modelURL>") << "modelURL:absent";
    }

    void convertsFieldsByType()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, expected);
        const DeviceInfo info = parseDevice(xml);
        const QJsonObject json = info.toJson();
        const bool absent = expected.endsWith(QLatin1String(":absent"));
        const QString key = expected.section(QLatin1Char(absent ? ':' : '='), 0, 0);
        if (absent) {
            QVERIFY2(!json.contains(key), qPrintable(key));
            return;
        }
        const QString value = expected.section(QLatin1Char('='), 1);
        const QJsonValue stored = json.value(key);
        QVERIFY2(!stored.isUndefined(), qPrintable(key));
        if (stored.isString())
            QCOMPARE(stored.toString(), value);
        else if (key == QLatin1String("bassExtension"))
            QCOMPARE(stored.toDouble(), value.toDouble());
        else
            QCOMPARE(stored.toInteger(), value.toLongLong());
    }

    void iconsFromEveryChildElement()
    {
        const DeviceInfo info = parseDevice(
            "<iconList><icon><url>/img/a.png</url></icon><junk/>text<other><id>7</id>"
            "<url>http://cdn.example/b.png</url></other></iconList><iconList><icon/></iconList>");
        QCOMPARE(info.iconList.size(), 3);
        QCOMPARE(info.iconList[0]->url, QUrl(QStringLiteral("http://192.168.1.20:1400/img/a.png")));
        QVERIFY(!info.iconList[1]->url && !info.iconList[1]->id && !info.iconList[1]->mimetype);
        QCOMPARE(info.iconList[2]->id, 7);
        QCOMPARE(info.iconList[2]->url, QUrl(QStringLiteral("http://cdn.example/b.png")));
        QVERIFY(!(info == parseDevice("<iconList><icon/><icon/><icon/></iconList>")));

        QVERIFY(parseDevice("<iconList/>").iconList.isEmpty());
        QVERIFY(parseDevice("").iconList.isEmpty());
    }

    void defaultNameFallsBack()
    {
        QCOMPARE(parseDevice("<roomName>Kitchen</roomName><displayName>Stereo</displayName>"
                             "<friendlyName>F</friendlyName>")
                     .defaultName(),
                 QStringLiteral("Kitchen - Stereo"));
        QCOMPARE(
            parseDevice("<roomName>Kitchen</roomName><friendlyName>F</friendlyName>").defaultName(),
            QStringLiteral("F"));
        QCOMPARE(parseDevice("<roomName>Kitchen</roomName>").defaultName(),
                 QStringLiteral("192.168.1.20"));
        QCOMPARE(parseDevice("", QUrl(QStringLiteral("urn:x:y"))).defaultName(),
                 QStringLiteral("urn:x:y"));
    }

    void jsonRoundTripKeepsEveryField()
    {
        pugi::xml_document document;
        XmlText::parse(document, testData(QStringLiteral("descriptions/sonos-one.xml")));
        const DeviceInfo info(document.child("root").child("device"), kLocation, std::nullopt);
        const QJsonObject json = info.toJson();
        QVERIFY(!json.contains(QStringLiteral("server")));
        QVERIFY(json.contains(QStringLiteral("udn")));
        QVERIFY(!json.contains(QStringLiteral("UDN")));
        for (const QJsonValue& value : json)
            QVERIFY(!value.isNull());

        // Through text, as the settings store keeps it.
        const QByteArray text = QJsonDocument(json).toJson(QJsonDocument::Compact);
        const auto back = DeviceInfo::fromJson(QJsonDocument::fromJson(text).object());
        QVERIFY(back);
        QVERIFY(*back == info);
        QCOMPARE(back->toJson(), json);
    }

    void jsonReadIsStrict_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("reads");
        QTest::newRow("minimal") << QByteArray("{'location':'http://h:1400/d.xml','iconList':[]}")
                                 << true;
        QTest::newRow("null is absent")
            << QByteArray("{'location':'http://h/','iconList':[],'server':null}") << true;
        QTest::newRow("no iconList") << QByteArray("{'location':'http://h/'}") << false;
        QTest::newRow("no location") << QByteArray(R"({"iconList":[]})") << false;
        QTest::newRow("location not a url")
            << QByteArray("{'location':'http://a b/','iconList':[]}") << false;
        QTest::newRow("text as number")
            << QByteArray("{'location':'http://h/','iconList':[],'roomName':5}") << false;
        QTest::newRow("integer fractional")
            << QByteArray("{'location':'http://h/','iconList':[],'zoneType':5.5}") << false;
        QTest::newRow("integer too large")
            << QByteArray("{'location':'http://h/','iconList':[],'memory':1e30}") << false;
        QTest::newRow("float beyond float range")
            << QByteArray("{'location':'http://h/','iconList':[],'bassExtension':1e300}") << false;
        QTest::newRow("url field not url")
            << QByteArray("{'location':'http://h/','iconList':[],'modelURL':'a b'}") << false;
        QTest::newRow("icon bad width")
            << QByteArray("{'location':'http://h/','iconList':[{'width':'48'}]}") << false;
        QTest::newRow("extra member")
            << QByteArray("{'location':'http://h/','iconList':[],'colour':'red'}") << true;
    }

    void jsonReadIsStrict()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, reads);
        QString error;
        const auto info = DeviceInfo::fromJson(object(json.constData()), &error);
        QCOMPARE(info.has_value(), reads);
        QCOMPARE(error.isEmpty(), reads);
    }
};

QTEST_GUILESS_MAIN(TestDeviceInfo)
#include "tst_DeviceInfo.moc"
