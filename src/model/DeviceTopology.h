#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

#include <pugixml.hpp>

#include <optional>

// Which zone group a speaker belongs to and whether it coordinates it.
struct DeviceTopology {
    bool coordinator = true;
    QString group;

    DeviceTopology() = default;
    DeviceTopology(bool coordinator, QString group)
        : coordinator(coordinator), group(std::move(group))
    {
    }
    // From a /status/topology document (ZPSupportInfo/ZonePlayers) for the
    // speaker's bare UDN; a speaker without a usable entry is its own
    // coordinator in a group named after itself.
    DeviceTopology(const pugi::xml_node& xml, const QString& uuid);
    // Whether a /status/topology document lists any player at all; current
    // firmware lists none and leaves the groups to GetZoneGroupState.
    static bool listsPlayers(const pugi::xml_node& xml);

    QJsonObject toJson() const;
    static std::optional<DeviceTopology> fromJson(const QJsonValue& value,
                                                  QString* error = nullptr);

    bool operator==(const DeviceTopology&) const = default;
};

Q_DECLARE_METATYPE(DeviceTopology)
