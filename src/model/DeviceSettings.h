#pragma once

#include "model/DeviceInfo.h"
#include "model/DeviceTopology.h"

#include <QJsonObject>
#include <QString>

#include <optional>

// The one record kept per speaker: its name, its latest description and
// topology, and the user's choices.
struct DeviceSettings {
    QString name;
    DeviceInfo info;
    std::optional<DeviceTopology> topology;
    bool active = false; // seen in this run; never stored
    bool enabled = true;
    bool nameChanged = false;
    // The AirPlay service the speaker offers itself, found in this run; never stored.
    std::optional<QString> airPlayService = std::nullopt;

    // Offered to the bridge: seen in this run, enabled, and a zone coordinator.
    bool isBridged() const;

    QJsonObject toJson() const;
    // "name" and "info" are strict; "topology", "enabled" and "nameChanged" fall
    // back to absent, true and false. active is always false after reading.
    static std::optional<DeviceSettings> fromJson(const QJsonValue& value,
                                                  QString* error = nullptr);

    bool operator==(const DeviceSettings&) const = default;
};

// The record stored when discovery reports a speaker: a new one, or the
// existing one refreshed while keeping the user's choices.
DeviceSettings mergeDiscovered(const std::optional<DeviceSettings>& existing,
                               const DeviceInfo& info, const DeviceTopology& topology);
