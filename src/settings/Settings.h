#pragma once

#include "model/DeviceSettings.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

class DefaultsStore;

// The one persisted document of the application: the speaker table and a few
// bookkeeping values, stored as JSON under the defaults key "settings".
class Settings {
public:
    // The document of this process, loaded from the standard store on first use.
    static Settings& shared();

    // Loads the document from store (or makes and saves a fresh one); the
    // store must outlive the object.
    explicit Settings(DefaultsStore& store);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    // The speaker table, keyed by description location. Every list below is in
    // table order: by name ignoring case, then by location text, so speakers
    // keep their places in the menu, the preferences and the bridge config.
    QList<DeviceSettings> devices() const;
    QList<QUrl> deviceLocations() const;
    std::optional<DeviceSettings> device(const QUrl& location) const;
    void setDevice(const QUrl& location, const DeviceSettings& settings);
    bool removeDevice(const QUrl& location);
    qsizetype deviceCount() const { return m_devices.size(); }

    QMap<QString, qint64> crashesByVersion;
    QDateTime installedAt;
    QDateTime lastRatingsPrompt;
    bool hasPromptedForRating = false;
    bool hasRated = false;
    // Options beyond the six members every document has; absent reads as off.
    // Follow the household, the network and the computer while running.
    bool followChanges = false;
    // Write speakers that play AirPlay themselves to the bridge disabled.
    bool skipAirPlaySpeakers = false;

    // Writes the document to the store, replacing the earlier text. A failure
    // is logged (category "settings") and leaves the earlier text intact.
    // Refused while the stored file that could not be loaded is still there:
    // it may hold the user's speakers, and this document is a stand-in.
    bool save();
    // Why save() is refused; empty when it is not.
    QString saveRefusal() const;

    // The entry of crashesByVersion for applicationVersion(), or 0.
    qint64 crashCountForCurrentVersion() const;

    // corvane::kVersion, or "?.?.?" (with an error logged) when it is empty.
    static QString applicationVersion();
    // Test seam: replaces the build's version text; std::nullopt restores it.
    static void overrideApplicationVersion(const std::optional<QString>& version);

    // The defaults key of the document, and the suffix under which an
    // unreadable stored text is kept before a fresh document replaces it.
    static constexpr char storeKey[] = "settings";
    static constexpr char unreadableSuffix[] = ".unreadable";

private:
    void load();
    void makeFresh();

    DefaultsStore& m_store;
    QHash<QUrl, DeviceSettings> m_devices;
    QString m_saveRefusal; // set when the stored file could neither be loaded nor kept aside
    bool m_refusalLogged = false;
};
