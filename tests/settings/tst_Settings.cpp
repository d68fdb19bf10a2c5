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

struct Captured {
    Logging::Level level;
    Logging::Category category;
    QString message;
};

// Seconds since 2001-01-01 00:00:00 UTC of 2017-06-01 10:20:30.5 UTC.
constexpr double kSomeDate = 518005230.5;

DeviceSettings speaker(const QString& name, const QString& location, bool active = false)
{
    DeviceSettings settings;
    settings.name = name;
    settings.info = DeviceInfo(QUrl(location));
    settings.info.udn = QStringLiteral("uuid:RINCON_") + name.toUpper();
    settings.info.bassExtension = 75.0f;
    settings.topology = DeviceTopology(true, QStringLiteral("RINCON_1:0"));
    settings.active = active;
    settings.enabled = false;
    settings.nameChanged = true;
    return settings;
}

QJsonObject validDocument()
{
    const DeviceSettings kitchen =
        speaker(QStringLiteral("Kitchen"),
                QStringLiteral("http://10.0.0.2:1400/xml/device_description.xml"));
    return QJsonObject{
        {QStringLiteral("devices"), QJsonArray{kitchen.info.location.toString(), kitchen.toJson()}},
        {QStringLiteral("crashesByVersion"), QJsonObject{{QStringLiteral("0.1.0"), 2}}},
        {QStringLiteral("installedAt"), kSomeDate},
        {QStringLiteral("lastRatingsPrompt"), kSomeDate},
        {QStringLiteral("hasPromptedForRating"), true},
        {QStringLiteral("hasRated"), false},
    };
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject without(QJsonObject object, const char* key)
{
    object.remove(QLatin1String(key));
    return object;
}

QJsonObject with(QJsonObject object, const char* key, const QJsonValue& value)
{
    object.insert(QLatin1String(key), value);
    return object;
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    QList<Captured> m_log;

    QString storedPath() const { return m_store->path(QStringLiteral("settings")); }

    void store(const QByteArray& text)
    {
        QVERIFY(m_store->setValue(QStringLiteral("settings"), text));
    }

    QJsonObject stored() const
    {
        return QJsonDocument::fromJson(m_store->value(QStringLiteral("settings")).value_or(""))
            .object();
    }

    QList<Captured> logged(Logging::Level level) const
    {
        QList<Captured> found;
        for (const Captured& entry : m_log)
            if (entry.level == level)
                found.append(entry);
        return found;
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
        const QDateTime after = QDateTime::currentDateTimeUtc().addMSecs(1);

        QVERIFY(m_log.isEmpty());
        const QJsonObject document = stored();
        QCOMPARE(document.value(QStringLiteral("devices")), QJsonArray());
        QCOMPARE(document.value(QStringLiteral("crashesByVersion")), QJsonObject());
        QCOMPARE(document.value(QStringLiteral("hasPromptedForRating")), false);
        QCOMPARE(document.value(QStringLiteral("hasRated")), false);
        const double installed = document.value(QStringLiteral("installedAt")).toDouble();
        QCOMPARE(document.value(QStringLiteral("lastRatingsPrompt")).toDouble(), installed);
        const QDateTime installedAt =
            QDateTime::fromMSecsSinceEpoch(qint64(installed * 1000) + 978307200000, Qt::UTC);
        QVERIFY2(installedAt >= before && installedAt <= after, qPrintable(installedAt.toString()));
        QCOMPARE(settings.installedAt, settings.lastRatingsPrompt);

        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(storedPath()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, 0600u);
        // Compact: no line breaks, no indentation.
        QVERIFY(!m_store->value(QStringLiteral("settings"))->contains('\n'));
    }

    void unreadableDocumentIsKeptAndReplaced_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QJsonObject valid = validDocument();
        const QJsonValue record = valid.value(QStringLiteral("devices")).toArray().at(1);
        const QString url = QStringLiteral("http://10.0.0.3:1400/xml/device_description.xml");

        QTest::newRow("not JSON") << QByteArray("{\"devices\": [");
        QTest::newRow("not UTF-8") << QByteArray("{\"devices\":[\"\xff\"]}");
        QTest::newRow("not an object") << QByteArray("[]");
        QTest::newRow("hasRated missing") << compact(without(valid, "hasRated"));
        QTest::newRow("devices missing") << compact(without(valid, "devices"));
        QTest::newRow("date is text")
            << compact(with(valid, "installedAt", QStringLiteral("2017")));
        QTest::newRow("date far out of range") << compact(with(valid, "installedAt", 1e300));
        QTest::newRow("boolean is a number") << compact(with(valid, "hasRated", 0));
        QTest::newRow("crash count is fractional")
            << compact(with(valid, "crashesByVersion", QJsonObject{{QStringLiteral("1"), 1.5}}));
        QTest::newRow("odd devices array")
            << compact(with(valid, "devices", QJsonArray{url, record, url}));
        QTest::newRow("key is not a URL")
            << compact(with(valid, "devices", QJsonArray{QStringLiteral("http://[::1"), record}));
        QTest::newRow("key is not text") << compact(with(valid, "devices", QJsonArray{7, record}));
        QJsonObject badRecord = record.toObject();
        QJsonObject badInfo = badRecord.value(QStringLiteral("info")).toObject();
        badInfo.insert(QStringLiteral("udn"), 5);
        badRecord.insert(QStringLiteral("info"), badInfo);
        QTest::newRow("one speaker's info fails")
            << compact(with(valid, "devices", QJsonArray{url, record, url + "x", badRecord}));
    }

    void unreadableDocumentIsKeptAndReplaced()
    {
        QFETCH(QByteArray, text);
        QFile older(storedPath() + QStringLiteral(".unreadable"));
        QVERIFY(QDir().mkpath(m_store->directory()) && older.open(QIODevice::WriteOnly));
        older.write("an older unreadable text");
        older.close();
        store(text);

        Settings settings(*m_store);

        QCOMPARE(settings.deviceCount(), 0);
        QVERIFY(stored().value(QStringLiteral("devices")).isArray()); // fresh document saved
        QVERIFY(stored().value(QStringLiteral("crashesByVersion")).toObject().isEmpty());
        // The unreadable text is kept byte for byte, replacing the older one.
        QFile kept(storedPath() + QStringLiteral(".unreadable"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), text);

        const QString shown = QString::fromUtf8(text);
        const QList<Captured> verbose = logged(Logging::Level::Verbose);
        QCOMPARE(verbose.size(), 1);
        QCOMPARE(verbose.first().message, QStringLiteral("Loading settings:\n") + shown);
        QCOMPARE(verbose.first().category, std::nullopt);
        const QList<Captured> errors = logged(Logging::Level::Error);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.first().category, QStringLiteral("settings"));
        const QString message = errors.first().message;
        QVERIFY2(message.startsWith(QStringLiteral("Failed to deserialize settings, ")),
                 qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral(" - \"") + shown + QStringLiteral("\"; ")),
                 qPrintable(message));
        QVERIFY2(message.endsWith(storedPath() + QStringLiteral(".unreadable")),
                 qPrintable(message));
    }

    void readsDocumentWithDuplicatesAndExtraMembers()
    {
        const QString url = QStringLiteral("http://10.0.0.2:1400/xml/device_description.xml");
        const DeviceSettings first = speaker(QStringLiteral("First"), url);
        const DeviceSettings later = speaker(QStringLiteral("Later"), url);
        QJsonObject document =
            with(validDocument(), "devices", QJsonArray{url, first.toJson(), url, later.toJson()});
        document.insert(QStringLiteral("futureMember"), QStringLiteral("ignored"));
        store(compact(document));

        Settings settings(*m_store);
        QVERIFY(logged(Logging::Level::Error).isEmpty());
        QCOMPARE(settings.deviceCount(), 1);
        QCOMPARE(settings.device(QUrl(url)), later);
        QCOMPARE(settings.crashesByVersion.value(QStringLiteral("0.1.0")), 2);
        QVERIFY(settings.hasPromptedForRating);
        QCOMPARE(settings.installedAt,
                 QDateTime(QDate(2017, 6, 1), QTime(10, 20, 30, 500), Qt::UTC));

        QVERIFY(settings.save());
        QVERIFY(!stored().contains(QStringLiteral("futureMember")));
        QCOMPARE(stored().value(QStringLiteral("installedAt")).toDouble(), kSomeDate);
    }

    void roundTripKeepsTableExceptActive()
    {
        const QString a = QStringLiteral("http://10.0.0.2:1400/xml/device_description.xml");
        const QString b = QStringLiteral("http://10.0.0.3:1400/xml/device_description.xml");
        QDateTime installedAt;
        {
            Settings settings(*m_store);
            settings.setDevice(QUrl(a), speaker(QStringLiteral("Den"), a, true));
            settings.setDevice(QUrl(b), speaker(QStringLiteral("Attic"), b, true));
            settings.crashesByVersion.insert(QStringLiteral("0.1.0"), Q_INT64_C(9007199254740993));
            settings.hasRated = true;
            installedAt = settings.installedAt;
            QVERIFY(settings.save());
        }
        Settings reloaded(*m_store);
        QCOMPARE(reloaded.deviceCount(), 2);
        QCOMPARE(reloaded.device(QUrl(a)), speaker(QStringLiteral("Den"), a, false));
        QCOMPARE(reloaded.device(QUrl(b)), speaker(QStringLiteral("Attic"), b, false));
        QCOMPARE(reloaded.crashesByVersion.value(QStringLiteral("0.1.0")),
                 Q_INT64_C(9007199254740993));
        QVERIFY(reloaded.hasRated);
        QCOMPARE(reloaded.installedAt, installedAt);
    }

    void tableOrderIsByNameThenLocation()
    {
        Settings settings(*m_store);
        const QStringList locations{QStringLiteral("http://10.0.0.9:1400/d.xml"),
                                    QStringLiteral("http://10.0.0.1:1400/d.xml"),
                                    QStringLiteral("http://10.0.0.5:1400/d.xml"),
                                    QStringLiteral("http://10.0.0.7:1400/d.xml")};
        const QStringList names{QStringLiteral("kitchen"), QStringLiteral("Kitchen"),
                                QStringLiteral("attic"), QStringLiteral("Bath")};
        for (int i = 0; i < locations.size(); ++i)
            settings.setDevice(QUrl(locations[i]), speaker(names[i], locations[i]));

        QStringList order;
        for (const DeviceSettings& device : settings.devices())
            order.append(device.name + QLatin1Char('@') + device.info.location.host());
        QCOMPARE(
            order,
            (QStringList{QStringLiteral("attic@10.0.0.5"), QStringLiteral("Bath@10.0.0.7"),
                         QStringLiteral("Kitchen@10.0.0.1"), QStringLiteral("kitchen@10.0.0.9")}));
        QCOMPARE(settings.deviceLocations().first(), QUrl(locations[2]));

        QVERIFY(settings.removeDevice(QUrl(locations[2])));
        QVERIFY(!settings.removeDevice(QUrl(locations[2])));
        QCOMPARE(settings.device(QUrl(locations[2])), std::nullopt);
    }

    void saveFailureIsLoggedAndReported()
    {
        Settings settings(*m_store);
        // A plain file where the store's folder should be.
        QFile blocker(m_dir->filePath(QStringLiteral("blocked")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        DefaultsStore broken(blocker.fileName() + QStringLiteral("/config"));
        Settings failing(broken);
        QVERIFY(!failing.save());
        const QList<Captured> errors = logged(Logging::Level::Error);
        QVERIFY(!errors.isEmpty());
        QCOMPARE(errors.last().category, QStringLiteral("settings"));
        QVERIFY(errors.last().message.startsWith(QStringLiteral("Failed to save settings - ")));
    }

    void crashCountUsesVersionOrPlaceholder()
    {
        Settings settings(*m_store);
        settings.crashesByVersion.insert(QStringLiteral("?.?.?"), 3);
        QCOMPARE(settings.crashCountForCurrentVersion(), 0);
        QVERIFY(logged(Logging::Level::Error).isEmpty());

        Settings::overrideApplicationVersion(QString());
        QCOMPARE(Settings::applicationVersion(), QStringLiteral("?.?.?"));
        QCOMPARE(settings.crashCountForCurrentVersion(), 3);
        const QList<Captured> errors = logged(Logging::Level::Error);
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors.first().message,
                 QStringLiteral("Failed to lookup CFBundleShortVersionString"));
        QCOMPARE(errors.first().category, QStringLiteral("settings"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_Settings.moc"
