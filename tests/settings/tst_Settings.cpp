#include "log/Logging.h"
#include "platform/DefaultsStore.h"
#include "settings/Settings.h"
#include "support/FileSizeLimit.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using Entry = std::tuple<Logging::Level, Logging::Category, QString>;

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
    QList<Entry> m_log;

    QByteArray stored() const { return *m_store->value(kKey); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<DefaultsStore>(m_dir->filePath("config"));
        m_log.clear();
        Logging::setThreshold(Logging::Level::Verbose);
        Logging::setReceiver([this](auto level, auto& category, auto& message) {
            m_log.append({level, category, message});
        });
    }

    void cleanup() { Logging::setReceiver({}); }

    void urlsReadBackAsWritten_data()
    {
        QTest::addColumn<QString>("url"); // as an SSDP LOCATION header or a description carries it
        QTest::newRow("plain") << kUrl;
        QTest::newRow("second # in the fragment") << kUrl + "##";
        QTest::newRow("# in the fragment, then more") << kUrl + "#a#b%23c";
        QTest::newRow("encoded #, ? and & in path and query")
            << "http://h:1400/a%23b%3F?c%26d=%3D#%23";
        QTest::newRow("encoded % and delimiters") << "http://h:1400/%25%2F%3A%40%5B%5D?%2B+#%25";
        QTest::newRow("unencoded sub-delimiters") << "http://h:1400/a;b=c!$'()*,?x=[y]#@:/?";
        QTest::newRow("non-ASCII, raw and encoded") << "http://h:1400/caf\u00e9/%C3%A9?q=\u20ac";
        QTest::newRow("IPv6 host, user info") << "http://u:p@[fe80::1%25eth0]:1400/x#";
        QTest::newRow("empty query and fragment") << "http://h:1400/x?#";
    }

    // The table's keys and the record's URLs come back equal after a restart,
    // or the user's name and choice for the speaker are lost.
    void urlsReadBackAsWritten()
    {
        QFETCH(QString, url);
        const QUrl location(url, QUrl::StrictMode);
        QVERIFY2(location.isValid(), qPrintable(location.errorString()));
        DeviceSettings record = speaker("Kitchen");
        record.info = DeviceInfo(location);
        record.info.modelURL = location;
        auto icon = std::make_shared<DeviceInfo::Icon>();
        icon->url = location.resolved(QUrl(QStringLiteral("#x#y"), QUrl::StrictMode));
        record.info.iconList.append(icon);
        {
            Settings settings(*m_store);
            settings.setDevice(location, record);
            QVERIFY(settings.save());
        }
        const Settings reloaded(*m_store);
        QCOMPARE(reloaded.deviceLocations(), QList<QUrl>{location});
        QCOMPARE(reloaded.device(location), record);
    }

    void freshDocumentIsSavedAtOnce()
    {
        const Settings settings(*m_store);
        QVERIFY(m_log.isEmpty());
        QVERIFY(qAbs(settings.installedAt.secsTo(QDateTime::currentDateTimeUtc())) < 5);
        const QRegularExpression fresh(
            "^{\"crashesByVersion\":{},\"devices\":\\[],\"hasPromptedForRating\":false,"
            "\"hasRated\":false,\"installedAt\":([0-9.e+]+),\"lastRatingsPrompt\":\\1}$");
        QVERIFY2(fresh.match(stored()).hasMatch(), stored());
        QCOMPARE(QFile::permissions(m_store->path(kKey)),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(QFile::permissions(m_dir->filePath("config")),
                 QFile::permissions(m_store->path(kKey)) | QFile::ExeOwner | QFile::ExeUser);
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
            QVERIFY(std::get<2>(m_log.last()).startsWith("Failed to save settings - "));
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

        const QString shown = QString::fromUtf8(text);
        const QString message = m_log.size() > 1 ? std::get<2>(m_log[1]) : QString();
        QCOMPARE(m_log, QList<Entry>({{Logging::Level::Verbose, {}, "Loading settings:\n" + shown},
                                      {Logging::Level::Error, kKey, message}}));
        QVERIFY2(
            message.startsWith("Failed to deserialize settings, ") &&
                message.endsWith(" - \"" + shown + "\"; the unreadable text is kept in " + kept),
            qPrintable(message));
    }

    // Files the store did not read (or whose text could not be kept aside)
    // are never replaced: the table lives in memory and saves are refused,
    // said once, until the file is gone.
    void unloadedFileIsNeverReplaced_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("logged"); // how the load's error begins
        QTest::newRow("cannot be opened") << "folder"
                                          << "Failed to read settings, cannot read ";
        QTest::newRow("I/O error") << "/proc/self/mem" // reading at offset 0 fails: EIO
                                   << "Failed to read settings, cannot read ";
        QTest::newRow("endless, with no size") << "/dev/zero"
                                               << "Failed to read settings, ";
        QTest::newRow("over the size limit") << "huge"
                                             << "Failed to read settings, ";
        QTest::newRow("undecodable, cannot be kept aside") << "blocked-aside"
                                                           << "Failed to deserialize settings, ";
    }

    void unloadedFileIsNeverReplaced()
    {
        QFETCH(QString, kind);
        QFETCH(QString, logged);
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
        QVERIFY(settings.devices().isEmpty());
        settings.setDevice(QUrl(kUrl), speaker("Den"));
        QVERIFY(!settings.save());
        QVERIFY(!settings.save());
        QCOMPARE(shape(), before);
        if (kind == "blocked-aside")
            QCOMPARE(stored(), "{\"devices\": [");
        QVERIFY(!QFileInfo(path + ".unreadable").isFile());

        QList<QString> errors;
        for (const Entry& entry : m_log)
            if (std::get<0>(entry) == Logging::Level::Error)
                errors.append(std::get<2>(entry));
        QCOMPARE(errors.size(), 2); // the load, and one refusal for both saves
        QVERIFY2(errors[0].startsWith(logged), qPrintable(errors[0]));
        QVERIFY2(errors[1].startsWith("Not saving settings - "), qPrintable(errors[1]));

        // The user took it away: nothing left to lose.
        QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
        QVERIFY(settings.save());
        QCOMPARE(Settings(*m_store).devices(), {speaker("Den")});
    }

    // A few hundred bytes are read into a buffer of their size, not the limit's.
    void smallValueSmallBuffer()
    {
        QVERIFY(m_store->setValue(kKey, document({})));
        const std::optional<QByteArray> value = m_store->value(kKey);
        QVERIFY(value && value->size() == document({}).size());
        QVERIFY2(value->capacity() < 1024 * 1024, qPrintable(QString::number(value->capacity())));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_Settings.moc"
