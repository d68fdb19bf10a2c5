#include "model/DeviceInfo.h"
#include "model/XmlText.h"
#include "support/TestData.h"

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
    void readsAndStoresWholeSonosDescription()
    {
        pugi::xml_document document;
        QVERIFY(XmlText::parse(document, testData(QStringLiteral("descriptions/sonos-one.xml"))));
        const DeviceInfo info(document.child("root").child("device"), kLocation,
                              QStringLiteral("Linux UPnP/1.0 Sonos/78.1-51030 (ZPS18)"));

        QCOMPARE(info.server, QStringLiteral("Linux UPnP/1.0 Sonos/78.1-51030 (ZPS18)"));
        QCOMPARE(info.udn, QStringLiteral("uuid:RINCON_48A6B8C0FFEE01400"));
        QCOMPARE(info.extraVersion, QString()); // empty element: present and empty
        QCOMPARE(info.modelURL,
                 QUrl(QStringLiteral("http://www.sonos.com/products/zoneplayers/S18")));
        // The embedded devices' fields and icons are not the speaker's.
        QCOMPARE(info.modelDescription, QStringLiteral("Sonos One"));
        QCOMPARE(info.iconList.size(), 1);
        QCOMPARE(info.iconList.first()->url,
                 QUrl(QStringLiteral("http://192.168.1.20:1400/img/icon-S18.png")));
        QCOMPARE(info.defaultName(), QStringLiteral("Kitchen - One"));

        // Through text, as the settings store keeps it.
        const QJsonObject json = info.toJson();
        QVERIFY(json.contains(QStringLiteral("udn")));
        const QByteArray text = QJsonDocument(json).toJson(QJsonDocument::Compact);
        const auto back = DeviceInfo::fromJson(QJsonDocument::fromJson(text).object());
        QVERIFY(back);
        QVERIFY(*back == info);
    }

    void convertsFieldsByType_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // null: left out of the record

        QTest::newRow("white space only") << QByteArray("<modelName>  </modelName>") << "modelName"
                                          << "  ";
        QTest::newRow("integer plus sign") << QByteArray("<zoneType>+5</zoneType>") << "zoneType"
                                           << "5";
        QTest::newRow("integer leading space")
            << QByteArray("<zoneType> 5</zoneType>") << "zoneType" << QString();
        QTest::newRow("integer overflow")
            << QByteArray("<memory>9223372036854775808</memory>") << "memory" << QString();
        QTest::newRow("float negative")
            << QByteArray("<bassExtension>-1.5</bassExtension>") << "bassExtension"
            << "-1.5";
        QTest::newRow("float trailing junk")
            << QByteArray("<bassExtension>2.5x</bassExtension>") << "bassExtension" << QString();
        QTest::newRow("float nan")
            << QByteArray("<bassExtension>nan</bassExtension>") << "bassExtension" << QString();
        QTest::newRow("url with space")
            << QByteArray("<modelURL>http://a b/</modelURL>") << "modelURL" << QString();
    }

    void convertsFieldsByType()
    {
        QFETCH(QByteArray, xml);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const QJsonValue stored = parseDevice(xml).toJson().value(key);
        QCOMPARE(stored.isUndefined(), expected.isNull());
        QCOMPARE(stored.toVariant().toString(), expected);
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
    }

    void defaultNameFallsBack()
    {
        QCOMPARE(
            parseDevice("<roomName>Kitchen</roomName><friendlyName>F</friendlyName>").defaultName(),
            QStringLiteral("F"));
        QCOMPARE(parseDevice("<roomName>Kitchen</roomName>").defaultName(),
                 QStringLiteral("192.168.1.20"));
        QCOMPARE(parseDevice("", QUrl(QStringLiteral("urn:x:y"))).defaultName(),
                 QStringLiteral("urn:x:y"));
    }

    void jsonReadIsStrict()
    {
        QString error;
        QVERIFY(DeviceInfo::fromJson(object("{'location':'http://h/','iconList':[],'server':null}"),
                                     &error));
        QVERIFY(error.isEmpty());
        // Each fails on one member: a missing iconList, then values of the wrong type.
        for (const char* json :
             {"{'location':'http://h/'}", "{'location':'http://a b/','iconList':[]}",
              "{'location':'http://h/','iconList':[],'roomName':5}",
              "{'location':'http://h/','iconList':[],'zoneType':5.5}",
              "{'location':'http://h/','iconList':[],'memory':1e30}",
              "{'location':'http://h/','iconList':[],'bassExtension':1e300}",
              "{'location':'http://h/','iconList':[],'modelURL':'a b'}",
              "{'location':'http://h/','iconList':[{'width':'48'}]}"}) {
            QVERIFY2(!DeviceInfo::fromJson(object(json), &error), json);
            QVERIFY2(!error.isEmpty(), json);
            error.clear();
        }
    }
};

QTEST_GUILESS_MAIN(TestDeviceInfo)
#include "tst_DeviceInfo.moc"
