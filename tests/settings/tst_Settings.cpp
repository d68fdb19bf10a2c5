#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "settings/Settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// 2017-06-01 10:20:30.5 UTC in seconds since 2001-01-01 00:00:00 UTC.
constexpr double kSomeDate = 518005230.5;
const QString kUrl = QStringLiteral("http://10.0.0.2:1400/xml/device_description.xml");

DeviceSettings speaker(const QString& name, const QString& location, bool active = false)
{
    DeviceSettings settings;
    settings.name = name;
    settings.info = DeviceInfo(QUrl(location));
    settings.info.udn = QStringLiteral("uuid:RINCON_") + name;
    settings.info.bassExtension = 75.0f;
    settings.topology = DeviceTopology(true, QStringLiteral("RINCON_1:0"));
    settings.active = active;
    settings.enabled = false;
    return settings;
}

QByteArray document(const char* key = nullptr, const QJsonValue& value = {})
{
    QJsonObject object{
        {QStringLiteral("devices"), QJsonArray{kUrl, speaker(QStringLiteral("A"), kUrl).toJson()}},
        {QStringLiteral("crashesByVersion"), QJsonObject{{QStringLiteral("0.1.0"), 2}}},
        {QStringLiteral("installedAt"), kSomeDate},
        {QStringLiteral("lastRatingsPrompt"), kSomeDate},
        {QStringLiteral("hasPromptedForRating"), true},
        {QStringLiteral("hasRated"), false},
    };
    if (key && value.isUndefined())
        object.remove(QLatin1String(key));
    else if (key)
        object.insert(QLatin1String(key), value);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    QList<std::tuple<Logging::Level, Logging::Category, QString>> m_log;

    QJsonObject stored() const
    {
        return QJsonDocument::fromJson(*m_store->value(QStringLiteral("settings"))).object();
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->filePath(QStringLiteral("config")));
        m_log.clear();
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](Logging::Level level, const Logging::Category& category,
                                    const QString& message) {
            m_log.append({level, category, message});
        });
    }

    void cleanup()
    {
        Logging::setReceiver({});
        Settings::overrideApplicationVersion(std::nullopt);
    }

    void firstLaunchSavesFreshDocument()
    {
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        Settings settings(*m_store);
        QVERIFY(m_log.isEmpty());
        QVERIFY(settings.installedAt >= before);
        QVERIFY(settings.installedAt <= QDateTime::currentDateTimeUtc());

        const QByteArray text = *m_store->value(QStringLiteral("settings"));
        QVERIFY(!text.contains('\n')); // compact
        const QJsonObject saved = stored();
        QCOMPARE(saved.value(QStringLiteral("devices")), QJsonArray());
        QCOMPARE(saved.value(QStringLiteral("crashesByVersion")), QJsonObject());
        QCOMPARE(saved.value(QStringLiteral("hasRated")), false);
        QCOMPARE(saved.value(QStringLiteral("lastRatingsPrompt")),
                 saved.value(QStringLiteral("installedAt")));
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(m_store->path(QStringLiteral("settings"))), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0600u);

        // Crashes of a build without a version count under "?.?.?".
        settings.crashesByVersion.insert(QStringLiteral("?.?.?"), 3);
        QCOMPARE(settings.crashCountForCurrentVersion(), 0);
        Settings::overrideApplicationVersion(QString());
        QCOMPARE(settings.crashCountForCurrentVersion(), 3);
        QCOMPARE(m_log.value(0),
                 std::make_tuple(Logging::Level::Error,
                                 Logging::Category(QStringLiteral("settings")),
                                 QStringLiteral("Failed to lookup CFBundleShortVersionString")));
    }

    void unreadableTextIsKeptAndReplaced_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QJsonValue record = speaker(QStringLiteral("A"), kUrl).toJson();
        QJsonObject badRecord = record.toObject();
        badRecord.insert(QStringLiteral("info"), QJsonObject{{QStringLiteral("udn"), 5}});

        QTest::newRow("not JSON") << QByteArray("{\"devices\": [");
        QTest::newRow("not UTF-8") << QByteArray("{\"devices\":[\"\xff\"]}");
        QTest::newRow("hasRated missing") << document("hasRated");
        QTest::newRow("odd devices array") << document("devices", QJsonArray{kUrl, record, kUrl});
        QTest::newRow("key not a URL") << document("devices", QJsonArray{"http://[::1", record});
        QTest::newRow("one speaker fails")
            << document("devices", QJsonArray{kUrl, record, kUrl + "x", badRecord});
    }

    void unreadableTextIsKeptAndReplaced()
    {
        QFETCH(QByteArray, text);
        const QString kept = m_store->path(QStringLiteral("settings")) + ".unreadable";
        QVERIFY(m_store->setValue(QStringLiteral("settings"), "an older unreadable text"));
        QVERIFY(m_store->keepAside(QStringLiteral("settings"), QStringLiteral(".unreadable")));
        QVERIFY(m_store->setValue(QStringLiteral("settings"), text));

        Settings settings(*m_store);
        QCOMPARE(settings.deviceCount(), 0);
        QCOMPARE(stored().value(QStringLiteral("devices")), QJsonArray()); // fresh one saved
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text); // byte for byte, replacing the older one

        const QString shown = QString::fromUtf8(text);
        QCOMPARE(m_log.size(), 2);
        QCOMPARE(m_log[0], std::make_tuple(Logging::Level::Verbose, Logging::Category(),
                                           QStringLiteral("Loading settings:\n") + shown));
        const auto [level, category, message] = m_log[1];
        QCOMPARE(level, Logging::Level::Error);
        QCOMPARE(category, QStringLiteral("settings"));
        QVERIFY2(message.startsWith(QStringLiteral("Failed to deserialize settings, ")) &&
                     message.contains(QStringLiteral(" - \"") + shown + QStringLiteral("\"; ")) &&
                     message.endsWith(kept),
                 qPrintable(message));
    }

    void duplicatesAndExtraMembers()
    {
        const QByteArray text =
            document("devices", QJsonArray{kUrl, speaker(QStringLiteral("First"), kUrl).toJson(),
                                           kUrl, speaker(QStringLiteral("Later"), kUrl).toJson()})
                .insert(1, "\"futureMember\":[1],");
        QVERIFY(m_store->setValue(QStringLiteral("settings"), text));

        Settings settings(*m_store);
        QCOMPARE(settings.deviceCount(), 1);
        QCOMPARE(settings.device(QUrl(kUrl)), speaker(QStringLiteral("Later"), kUrl));
        QCOMPARE(settings.installedAt,
                 QDateTime(QDate(2017, 6, 1), QTime(10, 20, 30, 500), Qt::UTC));
        QVERIFY(settings.save());
        QVERIFY(!stored().contains(QStringLiteral("futureMember")));
        QCOMPARE(stored().value(QStringLiteral("installedAt")).toDouble(), kSomeDate);
    }

    void roundTripAndTableOrder()
    {
        const QStringList names{QStringLiteral("kitchen"), QStringLiteral("Kitchen"),
                                QStringLiteral("attic"), QStringLiteral("Bath")};
        const QStringList hosts{QStringLiteral("10.0.0.9"), QStringLiteral("10.0.0.1"),
                                QStringLiteral("10.0.0.5"), QStringLiteral("10.0.0.7")};
        QDateTime installedAt;
        {
            Settings settings(*m_store);
            for (int i = 0; i < names.size(); ++i) {
                const QString url = QStringLiteral("http://%1:1400/d.xml").arg(hosts[i]);
                settings.setDevice(QUrl(url), speaker(names[i], url, true));
            }
            settings.crashesByVersion.insert(QStringLiteral("0.1.0"), Q_INT64_C(9007199254740993));
            installedAt = settings.installedAt;
            QVERIFY(settings.save());
        }
        Settings reloaded(*m_store);
        QStringList order;
        for (const DeviceSettings& device : reloaded.devices()) {
            QVERIFY(!device.active);
            QCOMPARE(device, speaker(device.name, device.info.location.toString()));
            order.append(device.name + QLatin1Char('@') + device.info.location.host());
        }
        QCOMPARE(order, QStringList({"attic@10.0.0.5", "Bath@10.0.0.7", "Kitchen@10.0.0.1",
                                     "kitchen@10.0.0.9"}));
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("0.1.0")),
                 Q_INT64_C(9007199254740993));
        QCOMPARE(reloaded.installedAt, installedAt);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_Settings.moc"
