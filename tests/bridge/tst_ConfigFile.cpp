#include "bridge/ConfigFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QByteArray kHeader = "<?xml version=\"1.0\"?>\n<airupnp>\n<common>\n<enabled>1</enabled>\n"
                           "<max_volume>100</max_volume>\n<codec>flac</codec>\n"
                           "<latency>1000:2000</latency>\n<remove_count>3</remove_count>\n"
                           "</common>\n<main_log>info</main_log>\n<upnp_log>info</upnp_log>\n"
                           "<util_log>warn</util_log>\n<raop_log>info</raop_log>\n"
                           "<scan_interval>60</scan_interval>\n<scan_timeout>10</scan_timeout>\n"
                           "<log_limit>-1</log_limit>\n";

// coordinator: 1 or 0, -1 for no topology.
DeviceSettings record(const QString& name, const std::optional<QString>& udn, bool active = true,
                      bool enabled = true, int coordinator = 1)
{
    DeviceSettings settings;
    settings.name = name;
    settings.info.udn = udn;
    settings.active = active;
    settings.enabled = enabled;
    if (coordinator >= 0)
        settings.topology = DeviceTopology(coordinator == 1, QStringLiteral("RINCON_1:0"));
    return settings;
}

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void writesExactBytes_data()
    {
        QTest::addColumn<QList<DeviceSettings>>("devices");
        QTest::addColumn<QByteArray>("entries");

        QTest::newRow("empty table") << QList<DeviceSettings>() << QByteArray();
        QTest::newRow("entries in order, escaped")
            << QList<DeviceSettings>{record(QStringLiteral("Tom & Jerry's <Den>"),
                                            QStringLiteral("uuid:RINCON_B01400")),
                                     record(QStringLiteral("K\u00fcche \u266b"), std::nullopt)}
            << QByteArray("<device>\n  <udn>uuid:RINCON_B01400</udn>\n"
                          "  <name>Tom &amp; Jerry's &lt;Den&gt;</name>\n  <enabled>1</enabled>\n"
                          "</device>\n"
                          "<device>\n  <udn></udn>\n  <name>K\xc3\xbc"
                          "che \xe2\x99\xab</name>\n  <enabled>1</enabled>\n</device>\n");
        const QByteArray off =
            "<device>\n  <udn>u</udn>\n  <name>n</name>\n  <enabled>0</enabled>\n"
            "</device>\n";
        const QString n = QStringLiteral("n"), u = QStringLiteral("u");
        QTest::newRow("not seen in this run") << QList{record(n, u, false)} << off;
        QTest::newRow("disabled by the user") << QList{record(n, u, true, false)} << off;
        QTest::newRow("group member") << QList{record(n, u, true, true, 0)} << off;
        QTest::newRow("no topology") << QList{record(n, u, true, true, -1)} << off;
    }

    void writesExactBytes()
    {
        QFETCH(QList<DeviceSettings>, devices);
        QFETCH(QByteArray, entries);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("airupnp.xml"));
        QVERIFY(writeConfig(path, {record(QStringLiteral("Earlier"), QStringLiteral("uuid:E"))}));
        QString error;
        QVERIFY2(writeConfig(path, devices, &error), qPrintable(error));

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kHeader + entries + "</airupnp>");
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0600u);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    void escapesPerMode_data()
    {
        QTest::addColumn<AttributeValueEscape>("mode");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");

        const QString mixed = QStringLiteral("a<b>&\"c'\n\u0001");
        QTest::newRow("text") << AttributeValueEscape::NoAttribute << mixed
                              << QStringLiteral("a&lt;b&gt;&amp;\"c'\n\u0001");
        QTest::newRow("quot") << AttributeValueEscape::EscapeQuot << mixed
                              << QStringLiteral("a&lt;b&gt;&amp;&quot;c'\n\u0001");
        QTest::newRow("apos") << AttributeValueEscape::EscapeApos << mixed
                              << QStringLiteral("a&lt;b&gt;&amp;\"c&apos;\n\u0001");
        QTest::newRow("entity escaped again")
            << AttributeValueEscape::NoAttribute << QStringLiteral("&amp;")
            << QStringLiteral("&amp;amp;");
        QTest::newRow("< before combining accent")
            << AttributeValueEscape::NoAttribute << QStringLiteral("<\u0301\U0001F3B5")
            << QStringLiteral("&lt;\u0301\U0001F3B5");
    }

    void escapesPerMode()
    {
        QFETCH(AttributeValueEscape, mode);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(xmlEscape(mode, input), expected);
    }
};

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_ConfigFile.moc"
