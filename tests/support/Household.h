#pragma once

#include "bridge/AirConnect.h"
#include "discovery/DeviceDiscovery.h"
#include "platform/DefaultsStore.h"
#include "settings/Settings.h"
#include "support/FakeInhibitor.h"

#include <QTemporaryDir>

// A speaker's description as discovery hands it over, at a host of loopback.
DeviceInfo speakerAt(const QString& host, const QString& room, const QString& udn);
QUrl locationOf(const QString& host);

// What the bridge controller and the windows work with, private to one test:
// a store in a temporary folder, a discovery that reaches nobody (tests emit
// its signals or end its search), the fake bridge (or none installed) and a
// fake sleep inhibitor, installed while the household lives.
struct Household {
    enum class Bridge { Installed, Missing };
    explicit Household(Bridge bridge = Bridge::Installed);
    ~Household();
    Q_DISABLE_COPY(Household)

    // A speaker found by the running search, as coordinator or group member.
    void discover(const DeviceInfo& info, bool coordinator = true);
    // The bridge's configuration file as last written.
    QString config() const;
    // Where the bridge executable goes when it is missing.
    QString bridgeFolder() const { return dir.filePath(QStringLiteral("libexec")); }

    QTemporaryDir dir;
    DefaultsStore store{dir.path()};
    Settings settings{store};
    DeviceDiscovery discovery;
    AirConnect bridge;
    FakeInhibitor inhibitor;
};
