#include "settings/Settings.h"

#include "Version.h"
#include "log/Logging.h"
#include "model/JsonFields.h"
#include "platform/DefaultsStore.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const QString kCategory = QStringLiteral("settings");

// Stored dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr qint64 kReferenceDateMSecs = 978307200000;
// About 300,000 years either side: far beyond any real date, and small enough
// that the conversion to milliseconds cannot overflow.
constexpr double kMaxSeconds = 1e13;

std::optional<QString> g_versionOverride;

double secondsFromDate(const QDateTime& date)
{
    return double(date.toMSecsSinceEpoch() - kReferenceDateMSecs) / 1000.0;
}

std::optional<QDateTime> dateFromJson(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double seconds = value.toDouble();
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxSeconds)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(std::llround(seconds * 1000.0) + kReferenceDateMSecs,
                                          Qt::UTC);
}

bool lessInTableOrder(const DeviceSettings& a, const QUrl& aLocation, const DeviceSettings& b,
                      const QUrl& bLocation)
{
    const int byName = a.name.compare(b.name, Qt::CaseInsensitive);
    if (byName != 0)
        return byName < 0;
    return aLocation.toString() < bLocation.toString();
}

QList<QUrl> orderedKeys(const QHash<QUrl, DeviceSettings>& devices)
{
    QList<QUrl> keys = devices.keys();
    std::sort(keys.begin(), keys.end(), [&](const QUrl& a, const QUrl& b) {
        return lessInTableOrder(devices[a], a, devices[b], b);
    });
    return keys;
}

struct Document {
    QHash<QUrl, DeviceSettings> devices;
    QMap<QString, qint64> crashesByVersion;
    QDateTime installedAt;
    QDateTime lastRatingsPrompt;
    bool hasPromptedForRating = false;
    bool hasRated = false;
    bool followChanges = false;
    bool skipAirPlaySpeakers = false;
};

bool fail(QString* error, const QString& message)
{
    return JsonFields::fail(error, message);
}

bool readDevices(const QJsonValue& value, QHash<QUrl, DeviceSettings>& out, QString* error)
{
    if (!value.isArray())
        return fail(error, QStringLiteral("\"devices\" is missing or not an array"));
    const QJsonArray array = value.toArray();
    if (array.size() % 2 != 0)
        return fail(error, QStringLiteral("\"devices\" has an odd number of elements"));
    for (qsizetype i = 0; i < array.size(); i += 2) {
        const std::optional<QUrl> location = JsonFields::urlFromJson(array.at(i));
        if (!location)
            return fail(error,
                        QStringLiteral("element %1 of \"devices\" is not a valid URL").arg(i));
        QString recordError;
        std::optional<DeviceSettings> record =
            DeviceSettings::fromJson(array.at(i + 1), &recordError);
        if (!record)
            return fail(
                error,
                QStringLiteral("the speaker at %1: %2").arg(location->toString(), recordError));
        out.insert(*location, std::move(*record)); // a later duplicate wins
    }
    return true;
}

bool readCrashes(const QJsonValue& value, QMap<QString, qint64>& out, QString* error)
{
    if (!value.isObject())
        return fail(error, QStringLiteral("\"crashesByVersion\" is missing or not an object"));
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue count = it.value();
        // toInteger answers its default unless the number is whole and fits 64 bits.
        if (!count.isDouble() || (count.toInteger(0) == 0 && count.toInteger(1) == 1))
            return fail(
                error,
                QStringLiteral("the crash count of \"%1\" is not a 64-bit integer").arg(it.key()));
        out.insert(it.key(), count.toInteger());
    }
    return true;
}

bool readDate(const QJsonObject& object, const QString& key, QDateTime& out, QString* error)
{
    const std::optional<QDateTime> date = dateFromJson(object.value(key));
    if (!date)
        return fail(error, QStringLiteral("\"%1\" is missing or not a date").arg(key));
    out = *date;
    return true;
}

bool readBool(const QJsonObject& object, const QString& key, bool& out, QString* error)
{
    const QJsonValue value = object.value(key);
    if (!value.isBool())
        return fail(error, QStringLiteral("\"%1\" is missing or not a boolean").arg(key));
    out = value.toBool();
    return true;
}

std::optional<Document> documentFromJson(const QByteArray& json, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        fail(
            error,
            QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
        return std::nullopt;
    }
    if (!document.isObject()) {
        fail(error, QStringLiteral("the document is not a JSON object"));
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    Document result;
    if (!readDevices(object.value(QStringLiteral("devices")), result.devices, error) ||
        !readCrashes(object.value(QStringLiteral("crashesByVersion")), result.crashesByVersion,
                     error) ||
        !readDate(object, QStringLiteral("installedAt"), result.installedAt, error) ||
        !readDate(object, QStringLiteral("lastRatingsPrompt"), result.lastRatingsPrompt, error) ||
        !readBool(object, QStringLiteral("hasPromptedForRating"), result.hasPromptedForRating,
                  error) ||
        !readBool(object, QStringLiteral("hasRated"), result.hasRated, error))
        return std::nullopt;
    // Options: anything but true is off, so a document without them reads as before.
    result.followChanges = object.value(QStringLiteral("followChanges")).toBool(false);
    result.skipAirPlaySpeakers = object.value(QStringLiteral("skipAirPlaySpeakers")).toBool(false);
    return result;
}

} // namespace

Settings& Settings::shared()
{
    static Settings instance(DefaultsStore::standard());
    return instance;
}

Settings::Settings(DefaultsStore& store) : m_store(store)
{
    load();
}

QList<DeviceSettings> Settings::devices() const
{
    QList<DeviceSettings> result;
    result.reserve(m_devices.size());
    for (const QUrl& location : orderedKeys(m_devices))
        result.append(m_devices.value(location));
    return result;
}

QList<QUrl> Settings::deviceLocations() const
{
    return orderedKeys(m_devices);
}

std::optional<DeviceSettings> Settings::device(const QUrl& location) const
{
    const auto it = m_devices.constFind(location);
    if (it == m_devices.constEnd())
        return std::nullopt;
    return *it;
}

void Settings::setDevice(const QUrl& location, const DeviceSettings& settings)
{
    m_devices.insert(location, settings);
}

bool Settings::removeDevice(const QUrl& location)
{
    return m_devices.remove(location);
}

QString Settings::saveRefusal() const
{
    // Once the file is gone (the user removed it), nothing of theirs is left to lose.
    if (m_saveRefusal.isEmpty() || !QFileInfo::exists(m_store.path(QLatin1String(storeKey))))
        return {};
    return m_saveRefusal;
}

bool Settings::save()
{
    if (const QString refusal = saveRefusal(); !refusal.isEmpty()) {
        if (!std::exchange(m_refusalLogged, true))
            Logging::error(QStringLiteral("Not saving settings - ") + refusal, kCategory);
        return false;
    }
    QJsonArray devices;
    for (const QUrl& location : orderedKeys(m_devices)) {
        devices.append(JsonFields::urlToJson(location));
        devices.append(m_devices.value(location).toJson());
    }
    QJsonObject crashes;
    for (auto it = crashesByVersion.cbegin(); it != crashesByVersion.cend(); ++it)
        crashes.insert(it.key(), it.value());
    QJsonObject object{
        {QStringLiteral("devices"), devices},
        {QStringLiteral("crashesByVersion"), crashes},
        {QStringLiteral("installedAt"), secondsFromDate(installedAt)},
        {QStringLiteral("lastRatingsPrompt"), secondsFromDate(lastRatingsPrompt)},
        {QStringLiteral("hasPromptedForRating"), hasPromptedForRating},
        {QStringLiteral("hasRated"), hasRated},
    };
    // Written only when on: a document of someone who never chose stays as it was.
    if (followChanges)
        object.insert(QStringLiteral("followChanges"), true);
    if (skipAirPlaySpeakers)
        object.insert(QStringLiteral("skipAirPlaySpeakers"), true);

    QString error;
    if (!m_store.setValue(QLatin1String(storeKey),
                          QJsonDocument(object).toJson(QJsonDocument::Compact), &error)) {
        Logging::error(QStringLiteral("Failed to save settings - ") + error, kCategory);
        return false;
    }
    return true;
}

qint64 Settings::crashCountForCurrentVersion() const
{
    return crashesByVersion.value(applicationVersion(), 0);
}

QString Settings::applicationVersion()
{
    const QString version =
        g_versionOverride ? *g_versionOverride : QString::fromUtf8(corvane::kVersion);
    if (version.isEmpty()) {
        Logging::error(QStringLiteral("Failed to lookup CFBundleShortVersionString"), kCategory);
        return QStringLiteral("?.?.?");
    }
    return version;
}

void Settings::overrideApplicationVersion(const std::optional<QString>& version)
{
    g_versionOverride = version;
}

void Settings::makeFresh()
{
    m_devices.clear();
    crashesByVersion.clear();
    installedAt = QDateTime::currentDateTimeUtc();
    lastRatingsPrompt = installedAt;
    hasPromptedForRating = false;
    hasRated = false;
}

void Settings::load()
{
    const QString key = QLatin1String(storeKey);
    QString error;
    const std::optional<QByteArray> stored = m_store.value(key, &error);
    if (!stored && error.isEmpty()) {
        makeFresh();
        save();
        return;
    }
    if (!stored) {
        // Not read at all (permissions, I/O, size): the text may be fine, so
        // it stays where it is, untouched, and this run works from memory.
        m_saveRefusal = QStringLiteral("the stored settings could not be read (") + error +
                        QStringLiteral("), and saving would replace them");
        Logging::error(QStringLiteral("Failed to read settings, ") + error +
                           QStringLiteral("; running with an empty speaker table that is not "
                                          "saved while the file is there"),
                       kCategory);
        makeFresh();
        return;
    }

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(*stored);
    Logging::verbose(QStringLiteral("Loading settings:\n") + text);
    if (decoder.hasError()) {
        error = QStringLiteral("the stored text is not valid UTF-8");
    } else if (std::optional<Document> document = documentFromJson(*stored, &error)) {
        m_devices = std::move(document->devices);
        crashesByVersion = std::move(document->crashesByVersion);
        installedAt = document->installedAt;
        lastRatingsPrompt = document->lastRatingsPrompt;
        hasPromptedForRating = document->hasPromptedForRating;
        hasRated = document->hasRated;
        followChanges = document->followChanges;
        skipAirPlaySpeakers = document->skipAirPlaySpeakers;
        return;
    }

    // Keep the unreadable text beside the fresh document so the user's
    // speakers and names can be recovered by hand.
    QString keepError;
    const std::optional<QString> kept =
        m_store.keepAside(key, QLatin1String(unreadableSuffix), &keepError);
    QString message = QStringLiteral("Failed to deserialize settings, ") + error +
                      QStringLiteral(" - \"") + text + QLatin1Char('"');
    if (kept)
        message += QStringLiteral("; the unreadable text is kept in ") + *kept;
    else
        message += QStringLiteral("; could not keep the unreadable text, so it is not replaced: ") +
                   keepError;
    Logging::error(message, kCategory);

    makeFresh();
    if (kept)
        save();
    else
        m_saveRefusal = QStringLiteral("the unreadable stored settings could not be kept aside (") +
                        keepError + QStringLiteral("), and saving would replace them");
}
