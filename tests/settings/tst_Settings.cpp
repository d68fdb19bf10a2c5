#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "settings/Settings.h"
#include "support/FileSizeLimit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kKey = QStringLiteral("settings");
const QString kUrl = QStringLiteral("http://10.0.0.2:1400/xml/device_description.xml");

// Not enabled, so the user's choice must survive.
DeviceSettings speaker(const QString& name, const QString& location = kUrl, bool active = false)
{
    return {name, DeviceInfo(QUrl(location)), DeviceTopology(true, "RINCON_1:0"), active, false};
}

// installedAt: 2017-06-01 10:20:30.5 UTC in seconds since 2001-01-01 00:00:00 UTC.
QByteArray document(const QJsonArray& devices)
{
    return "{\"crashesByVersion\":{\"0.1.0\":2},\"devices\":" +
           QJsonDocument(devices).toJson(QJsonDocument::Compact) +
           ",\"hasPromptedForRating\":true,\"hasRated\":false,\"installedAt\":518005230.5,"
           "\"lastRatingsPrompt\":518005230.5}";
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    QStringList m_errors;

    QByteArray stored() const { return *m_store->value(kKey); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->filePath("config"));
        m_errors.clear();
        Logging::setReceiver([this](auto level, auto&, auto& message) {
            if (level == Logging::Level::Error)
                m_errors.append(message);
        });
    }

    void cleanup() { Logging::setReceiver({}); }

    // The table's keys and the records' URLs come back equal after a restart,
    // or the user's name and choice for the speaker are lost.
    void urlsReadBackAsWritten()
    {
        // As an SSDP LOCATION header or a description carries them.
        const QStringList urls{kUrl + "##",
                               kUrl + "#a#b%23c",
                               "http://h:1400/a%23b%3F?c%26d=%3D#%23",
                               "http://h:1400/%25%2F%3A%40%5B%5D?%2B+#%25",
                               "http://h:1400/caf\u00e9/%C3%A9?q=\u20ac",
                               "http://u:p@[fe80::1%25eth0]:1400/x#"};
        QList<DeviceSettings> records;
        {
            Settings settings(*m_store);
            for (const QString& url : urls) {
                const QUrl location(url, QUrl::StrictMode);
                QVERIFY2(location.isValid(), qPrintable(location.errorString()));
                DeviceSettings& record = records.emplace_back(speaker("Kitchen"));
                record.info.location = location;
                record.info.modelURL = location;
                auto icon = std::make_shared<DeviceInfo::Icon>();
                icon->url = location.resolved(QUrl(QStringLiteral("#x#y"), QUrl::StrictMode));
                record.info.iconList.append(icon);
                settings.setDevice(location, record);
            }
            QVERIFY(settings.save());
        }
        const Settings reloaded(*m_store);
        QCOMPARE(reloaded.deviceLocations().size(), urls.size());
        for (const DeviceSettings& record : records)
            QCOMPARE(reloaded.device(record.info.location), record);
    }

    void freshDocumentIsSavedAtOnce()
    {
        const Settings settings(*m_store);
        QVERIFY(m_errors.isEmpty());
        QVERIFY(qAbs(settings.installedAt.secsTo(QDateTime::currentDateTimeUtc())) < 5);
        const QRegularExpression fresh(
            "^{\"crashesByVersion\":{},\"devices\":\\[],\"hasPromptedForRating\":false,"
            "\"hasRated\":false,\"installedAt\":([0-9.e+]+),\"lastRatingsPrompt\":\\1}$");
        QVERIFY2(fresh.match(stored()).hasMatch(), stored());
        QCOMPARE(QFile::permissions(m_store->path(kKey)),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(QFile::permissions(m_dir->filePath("config")),
                 QFile::permissions(m_store->path(kKey)) | QFile::ExeOwner | QFile::ExeUser);
        // A few hundred bytes are read into a buffer of their size, not the limit's.
        QVERIFY2(stored().capacity() < 1024 * 1024,
                 qPrintable(QString::number(stored().capacity())));
    }

    // The last of duplicate locations wins; extra members are dropped on save.
    void survivesRestartInTableOrder()
    {
        QVERIFY(m_store->setValue(
            kKey, document({kUrl, speaker("First").toJson(), kUrl, speaker("Later").toJson()})
                      .insert(1, "\"futureMember\":[1],")));
        const QString at = "http://10.0.0.%1:1400/d.xml";
        {
            Settings settings(*m_store);
            QCOMPARE(settings.devices(), {speaker("Later")});
            QCOMPARE(settings.installedAt,
                     QDateTime(QDate(2017, 6, 1), QTime(10, 20, 30, 500), Qt::UTC));
            settings.setDevice(QUrl(at.arg(9)), speaker("later", at.arg(9), true));
            settings.setDevice(QUrl(at.arg(5)), speaker("attic", at.arg(5), true));
            QVERIFY(settings.save());
            settings.removeDevice(QUrl(at.arg(5)));
            const FileSizeLimit full(0); // a failed save leaves the last one whole
            QVERIFY(!settings.save());
            QVERIFY(m_errors.last().startsWith("Failed to save settings - "));
        }
        QVERIFY(!stored().contains("futureMember"));
        QVERIFY(stored().contains("\"installedAt\":518005230.5,"));
        // In table order (by name ignoring case, then location); active is never stored.
        const Settings reloaded(*m_store);
        QCOMPARE(reloaded.devices(), QList({speaker("attic", at.arg(5)), speaker("Later"),
                                            speaker("later", at.arg(9))}));
        QCOMPARE(reloaded.crashesByVersion, (QMap<QString, qint64>{{"0.1.0", 2}}));
    }

    void unreadableTextIsKeptAndReplaced_data()
    {
        QTest::addColumn<QByteArray>("text");
        const QJsonValue record = speaker("A").toJson();
        QTest::newRow("not JSON") << QByteArray("{\"devices\": [");
        QTest::newRow("hasRated missing") << document({}).replace("\"hasRated\":false,", "");
        QTest::newRow("odd devices array") << document({kUrl, record, kUrl});
        QTest::newRow("one speaker fails")
            << document({kUrl, record, kUrl + "x", QJsonObject{{"name", 5}}});
    }

    void unreadableTextIsKeptAndReplaced()
    {
        QFETCH(QByteArray, text);
        QVERIFY(m_store->setValue(kKey, "an older unreadable text"));
        QVERIFY(m_store->keepAside(kKey, ".unreadable"));
        QVERIFY(m_store->setValue(kKey, text));

        const Settings settings(*m_store);
        QVERIFY(stored().contains("\"devices\":[],")); // a fresh one, saved
        const QString kept = m_store->path(kKey) + ".unreadable";
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text); // byte for byte, replacing the older one

        QCOMPARE(m_errors.size(), 1);
        QVERIFY2(m_errors[0].startsWith("Failed to deserialize settings, ") &&
                     m_errors[0].endsWith(" - \"" + QString::fromUtf8(text) +
                                          "\"; the unreadable text is kept in " + kept),
                 qPrintable(m_errors[0]));
    }

    // Files the store did not read (or whose text could not be kept aside)
    // are never replaced: the table lives in memory and saves are refused,
    // said once, until the file is gone.
    void unloadedFileIsNeverReplaced_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("cannot be opened") << "folder";
        QTest::newRow("I/O error") << "/proc/self/mem"; // reading at offset 0 fails: EIO
        QTest::newRow("endless, with no size") << "/dev/zero";
        QTest::newRow("over the size limit") << "huge";
        QTest::newRow("undecodable, cannot be kept aside") << "blocked-aside";
    }

    void unloadedFileIsNeverReplaced()
    {
        QFETCH(QString, kind);
        QVERIFY(m_store->setValue(kKey, "{}")); // makes the folder
        const QString path = m_store->path(kKey);
        QVERIFY(QFile::remove(path));
        if (kind == "folder") {
            QVERIFY(QDir().mkdir(path));
        } else if (kind.startsWith('/')) {
            QVERIFY(QFile::link(kind, path));
        } else if (kind == "huge") {
            QFile file(path);
            // Up to the limit is fine.
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(DefaultsStore::maxValueSize));
            QCOMPARE(m_store->value(kKey)->size(), DefaultsStore::maxValueSize);
            QVERIFY(file.resize(DefaultsStore::maxValueSize + 1));
        } else {
            QVERIFY(m_store->setValue(kKey, "{\"devices\": ["));
            QVERIFY(QDir().mkpath(path + ".unreadable/in-the-way")); // rename(2) cannot replace it
        }
        const auto shape = [&] {
            const QFileInfo info(path);
            return QList<qint64>{info.isDir(), info.isSymLink(), info.size()};
        };
        const QList<qint64> before = shape();

        Settings settings(*m_store);
        settings.setDevice(QUrl(kUrl), speaker("Den"));
        QVERIFY(!settings.save());
        QVERIFY(!settings.save());
        QCOMPARE(shape(), before);
        if (kind == "blocked-aside")
            QCOMPARE(stored(), "{\"devices\": [");

        QCOMPARE(m_errors.size(), 2); // the load, and one refusal for both saves
        QVERIFY2(m_errors[0].startsWith(kind == "blocked-aside" ? "Failed to deserialize settings, "
                                                                : "Failed to read settings, "),
                 qPrintable(m_errors[0]));
        QVERIFY(m_errors[1].startsWith("Not saving settings - "));

        // The user took it away: nothing left to lose.
        QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
        QVERIFY(settings.save());
        QCOMPARE(Settings(*m_store).devices(), {speaker("Den")});
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_Settings.moc"
