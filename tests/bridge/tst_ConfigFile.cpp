#include "bridge/ConfigFile.h"

#include <QtTest>

// The entries of the bridge's configuration: what the bridge can read back.
class TestConfigFile : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entries_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("udn");   // null: none in the description
        QTest::addColumn<QString>("entry"); // udn and name as written; empty: no entry

        const QString udn = QStringLiteral("uuid:RINCON_B01400");
        const QString entry = QStringLiteral("<udn>%1</udn>\n  <name>%2</name>");
        QTest::newRow("no UDN") << "Kitchen" << QString() << QString();
        QTest::newRow("UDN of forbidden characters only")
            << "Kitchen" << QStringLiteral("\x01\x1f") + QChar(0xFFFE) << QString();
        QTest::newRow("forbidden characters dropped")
            << QStringLiteral("A") + QChar(0) + "B\x01\x1f" + QChar(0xFFFE) + QChar(0xFFFF) +
                   QChar(0xD800) + "C" + QChar(0xDC00) + "\t\n" + QChar(0xD83D) + QChar(0xDE00)
            << QStringLiteral("uuid:RINCON\x07_1")
            << entry.arg("uuid:RINCON_1", QStringLiteral("ABC\t\n\U0001F600"));
        // An XML parser reads a raw CR back as LF.
        QTest::newRow("CR as a character reference")
            << "Den\r\nTV\r"
            << "uuid:R\r1" << entry.arg("uuid:R&#13;1", "Den&#13;\nTV&#13;");
        QTest::newRow("50 bytes kept whole")
            << QString(48, u'a') + "\u00e9" << udn << entry.arg(udn, QString(48, u'a') + "\u00e9");
        QTest::newRow("cut before the first two-byte character")
            << QString(49, u'a') + "\u0080z" << udn << entry.arg(udn, QString(49, u'a'));
        QTest::newRow("cut before the first three-byte character")
            << QString(48, u'a') + "\u0800" << udn << entry.arg(udn, QString(48, u'a'));
        QTest::newRow("cut before a combined letter, not inside it")
            << QString(48, u'a') + "e\u0301" << udn << entry.arg(udn, QString(48, u'a'));
        QTest::newRow("cut before a surrogate pair")
            << QString(47, u'a') + QStringLiteral("\U0001F600") << udn
            << entry.arg(udn, QString(47, u'a'));
        QTest::newRow("surrogate pair after a Devanagari letter kept whole")
            << QString(44, u'a') + QStringLiteral("\u0920\U0001F600") << udn
            << entry.arg(udn, QString(44, u'a') + "\u0920");
        QTest::newRow("escapes do not count")
            << QString(50, u'&') + "x" << udn
            << entry.arg(udn, QStringLiteral("&amp;").repeated(50));
        QTest::newRow("dropped characters do not count")
            << QString(10, QChar(0x01)) + QString(50, u'b') << udn
            << entry.arg(udn, QString(50, u'b'));
    }

    void entries()
    {
        QFETCH(QString, name);
        QFETCH(QString, udn);
        QFETCH(QString, entry);
        DeviceSettings device{name, {}, DeviceTopology(true, "G:0"), true};
        if (!udn.isNull())
            device.info.udn = udn;
        const QByteArray text = configText({device});
        if (entry.isEmpty())
            QVERIFY2(!text.contains("<device>"), text.constData());
        else
            QVERIFY2(text.contains(("<device>\n  " + entry +
                                    "\n  <enabled>1</enabled>\n</device>\n</airupnp>")
                                       .toUtf8()),
                     text.constData());
    }
};

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_ConfigFile.moc"
