#include "bridge/ConfigFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QByteArray kHeader = "<?xml version=\"1.0\"?>\n"
                           "<airupnp>\n"
                           "<common>\n"
                           "<enabled>1</enabled>\n"
                           "<max_volume>100</max_volume>\n"
                           "<codec>flac</codec>\n"
                           "<latency>1000:2000</latency>\n"
                           "<remove_count>3</remove_count>\n"
                           "</common>\n"
                           "<main_log>info</main_log>\n"
                           "<upnp_log>info</upnp_log>\n"
                           "<util_log>warn</util_log>\n"
                           "<raop_log>info</raop_log>\n"
                           "<scan_interval>60</scan_interval>\n"
                           "<scan_timeout>10</scan_timeout>\n"
                           "<log_limit>-1</log_limit>\n";

struct Speaker {
    QString name;
    std::optional<QString> udn;
    bool active = true;
    bool enabled = true;
    std::optional<bool> coordinator = true; // absent: no topology
};

DeviceSettings record(const Speaker& speaker)
{
    DeviceSettings settings;
    settings.name = speaker.name;
    settings.info =
        DeviceInfo(QUrl(QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml")));
    settings.info.udn = speaker.udn;
    settings.active = speaker.active;
    settings.enabled = speaker.enabled;
    if (speaker.coordinator)
        settings.topology = DeviceTopology(*speaker.coordinator, QStringLiteral("RINCON_1:0"));
    return settings;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void emptyTableIsHeaderAndClosingTag() { QCOMPARE(configText({}), kHeader + "</airupnp>"); }

    void writesOneEntryPerRecordInOrder()
    {
        const QList<DeviceSettings> devices{
            record({QStringLiteral("Kitchen"), QStringLiteral("uuid:RINCON_A01400")}),
            record({QStringLiteral("Tom & Jerry's <Den>"), QStringLiteral("uuid:RINCON_B01400")}),
            record({QStringLiteral("No UDN"), std::nullopt}),
            record({QStringLiteral("K\u00fcche \u266b"), QStringLiteral("uuid:C"), false}),
        };
        const QByteArray expected = kHeader + "<device>\n"
                                              "  <udn>uuid:RINCON_A01400</udn>\n"
                                              "  <name>Kitchen</name>\n"
                                              "  <enabled>1</enabled>\n"
                                              "</device>\n"
                                              "<device>\n"
                                              "  <udn>uuid:RINCON_B01400</udn>\n"
                                              "  <name>Tom &amp; Jerry's &lt;Den&gt;</name>\n"
                                              "  <enabled>1</enabled>\n"
                                              "</device>\n"
                                              "<device>\n"
                                              "  <udn></udn>\n"
                                              "  <name>No UDN</name>\n"
                                              "  <enabled>1</enabled>\n"
                                              "</device>\n"
                                              "<device>\n"
                                              "  <udn>uuid:C</udn>\n"
                                              "  <name>K\xc3\xbc"
                                              "che \xe2\x99\xab</name>\n"
                                              "  <enabled>0</enabled>\n"
                                              "</device>\n"
                                              "</airupnp>";
        QCOMPARE(configText(devices), expected);
    }

    void enabledOnlyForActiveEnabledCoordinators_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("coordinator"); // -1: no topology
        QTest::addColumn<QByteArray>("flag");

        QTest::newRow("bridged") << true << true << 1 << QByteArray("1");
        QTest::newRow("not seen in this run") << false << true << 1 << QByteArray("0");
        QTest::newRow("disabled by the user") << true << false << 1 << QByteArray("0");
        QTest::newRow("group member") << true << true << 0 << QByteArray("0");
        QTest::newRow("no topology") << true << true << -1 << QByteArray("0");
    }

    void enabledOnlyForActiveEnabledCoordinators()
    {
        QFETCH(bool, active);
        QFETCH(bool, enabled);
        QFETCH(int, coordinator);
        QFETCH(QByteArray, flag);
        Speaker speaker{QStringLiteral("Den"), QStringLiteral("uuid:D"), active, enabled};
        speaker.coordinator =
            coordinator < 0 ? std::nullopt : std::optional<bool>(coordinator == 1);
        QVERIFY(
            configText({record(speaker)}).contains("  <enabled>" + flag + "</enabled>\n</device>"));
    }

    void escapesPerMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");

        const QString mixed = QStringLiteral("a<b>&\"c'");
        QTest::newRow("text") << int(AttributeValueEscape::NoAttribute) << mixed
                              << QStringLiteral("a&lt;b&gt;&amp;\"c'");
        QTest::newRow("quot") << int(AttributeValueEscape::EscapeQuot) << mixed
                              << QStringLiteral("a&lt;b&gt;&amp;&quot;c'");
        QTest::newRow("apos") << int(AttributeValueEscape::EscapeApos) << mixed
                              << QStringLiteral("a&lt;b&gt;&amp;\"c&apos;");
        QTest::newRow("entity escaped again")
            << int(AttributeValueEscape::NoAttribute) << QStringLiteral("&amp;")
            << QStringLiteral("&amp;amp;");
        QTest::newRow("< before combining accent")
            << int(AttributeValueEscape::NoAttribute) << QStringLiteral("<\u0301x")
            << QStringLiteral("&lt;\u0301x");
        QTest::newRow("controls and line breaks kept")
            << int(AttributeValueEscape::EscapeQuot) << QStringLiteral("a\nb\tc\u0001")
            << QStringLiteral("a\nb\tc\u0001");
        QTest::newRow("astral characters kept")
            << int(AttributeValueEscape::NoAttribute) << QStringLiteral("\U0001F3B5<")
            << QStringLiteral("\U0001F3B5&lt;");
    }

    void escapesPerMode()
    {
        QFETCH(int, mode);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(xmlEscape(AttributeValueEscape(mode), input), expected);
    }

    void writeReplacesFileAtomicallyAndPrivately()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("airupnp.xml"));
        QVERIFY(writeConfig(path, {record({QStringLiteral("First"), QStringLiteral("uuid:1")})}));
        QString error;
        const QList<DeviceSettings> second{
            record({QStringLiteral("Second"), QStringLiteral("uuid:2")})};
        QVERIFY(writeConfig(path, second, &error));
        const QByteArray written = readFile(path);
        QCOMPARE(written, configText(second));
        QVERIFY(written.endsWith("</airupnp>"));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0600u);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("airupnp.xml")}); // no temporary file left over
    }

    void writeFailureIsReported()
    {
        QTemporaryDir dir;
        QString error;
        QVERIFY(!writeConfig(dir.filePath(QStringLiteral("missing/airupnp.xml")), {}, &error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_ConfigFile.moc"
