#include "model/DeviceSettings.h"

#include "model/JsonFields.h"

bool DeviceSettings::isBridged() const
{
    return active && enabled && topology && topology->coordinator;
}

QJsonObject DeviceSettings::toJson() const
{
    QJsonObject object{{QStringLiteral("name"), name},
                       {QStringLiteral("info"), info.toJson()},
                       {QStringLiteral("enabled"), enabled},
                       {QStringLiteral("nameChanged"), nameChanged}};
    if (topology)
        object.insert(QStringLiteral("topology"), topology->toJson());
    return object;
}

std::optional<DeviceSettings> DeviceSettings::fromJson(const QJsonValue& value, QString* error)
{
    if (!value.isObject()) {
        JsonFields::fail(error, QStringLiteral("a speaker record is not an object"));
        return std::nullopt;
    }
    const QJsonObject object = value.toObject();
    const QJsonValue name = object.value(QStringLiteral("name"));
    if (!name.isString()) {
        JsonFields::fail(error, QStringLiteral("\"name\" is missing or not a string"));
        return std::nullopt;
    }
    auto info = DeviceInfo::fromJson(object.value(QStringLiteral("info")), error);
    if (!info)
        return std::nullopt;

    DeviceSettings settings;
    settings.name = name.toString();
    settings.info = std::move(*info);
    settings.topology = DeviceTopology::fromJson(object.value(QStringLiteral("topology")));
    const QJsonValue enabled = object.value(QStringLiteral("enabled"));
    settings.enabled = enabled.isBool() ? enabled.toBool() : true;
    const QJsonValue nameChanged = object.value(QStringLiteral("nameChanged"));
    settings.nameChanged = nameChanged.isBool() ? nameChanged.toBool() : false;
    settings.active = false;
    return settings;
}

DeviceSettings mergeDiscovered(const std::optional<DeviceSettings>& existing,
                               const DeviceInfo& info, const DeviceTopology& topology)
{
    DeviceSettings merged;
    merged.info = info;
    merged.topology = topology;
    merged.active = true;
    if (existing) {
        merged.enabled = existing->enabled;
        merged.nameChanged = existing->nameChanged;
        merged.name = existing->nameChanged ? existing->name : info.defaultName();
    } else {
        merged.name = info.defaultName();
    }
    return merged;
}
