#include "model/DeviceTopology.h"

#include "model/JsonFields.h"
#include "model/XmlText.h"

DeviceTopology::DeviceTopology(const pugi::xml_node& xml, const QString& uuid)
    : coordinator(true), group(uuid)
{
    const QByteArray wanted = uuid.toUtf8();
    const pugi::xml_node players = xml.child("ZPSupportInfo").child("ZonePlayers");
    for (const pugi::xml_node& player : players.children()) {
        if (player.type() != pugi::node_element)
            continue;
        const pugi::xml_attribute id = player.attribute("uuid");
        if (!id || wanted != id.value())
            continue;
        const auto isCoordinator =
            XmlText::toBool(player.attribute("coordinator").as_string(nullptr));
        if (!isCoordinator)
            continue;
        const pugi::xml_attribute groupAttribute = player.attribute("group");
        if (!groupAttribute)
            continue;
        coordinator = *isCoordinator;
        group = QString::fromUtf8(groupAttribute.value());
        return;
    }
}

bool DeviceTopology::listsPlayers(const pugi::xml_node& xml)
{
    const pugi::xml_node players = xml.child("ZPSupportInfo").child("ZonePlayers");
    for (const pugi::xml_node& player : players.children()) {
        if (player.type() == pugi::node_element)
            return true;
    }
    return false;
}

QJsonObject DeviceTopology::toJson() const
{
    return QJsonObject{{QStringLiteral("coordinator"), coordinator},
                       {QStringLiteral("group"), group}};
}

std::optional<DeviceTopology> DeviceTopology::fromJson(const QJsonValue& value, QString* error)
{
    const QJsonObject object = value.toObject();
    const QJsonValue coordinator = object.value(QStringLiteral("coordinator"));
    const QJsonValue group = object.value(QStringLiteral("group"));
    if (!value.isObject() || !coordinator.isBool() || !group.isString()) {
        JsonFields::fail(error, QStringLiteral("a topology needs a boolean \"coordinator\" and a "
                                               "string \"group\""));
        return std::nullopt;
    }
    return DeviceTopology(coordinator.toBool(), group.toString());
}
