#include "model/ZoneGroupState.h"

#include "model/XmlText.h"

#include <cstring>

namespace {

// SOAP answers come with whatever prefixes the speaker picked (s:, u:).
bool hasLocalName(const pugi::xml_node& node, const char* name)
{
    if (node.type() != pugi::node_element)
        return false;
    const char* full = node.name();
    const char* colon = std::strrchr(full, ':');
    return std::strcmp(colon ? colon + 1 : full, name) == 0;
}

pugi::xml_node childByLocalName(const pugi::xml_node& parent, const char* name)
{
    for (const pugi::xml_node& child : parent.children()) {
        if (hasLocalName(child, name))
            return child;
    }
    return {};
}

bool flag(const pugi::xml_node& element, const char* attribute)
{
    return XmlText::toBool(element.attribute(attribute).as_string(nullptr)).value_or(false);
}

QString attributeText(const pugi::xml_node& element, const char* attribute)
{
    return QString::fromUtf8(element.attribute(attribute).value());
}

} // namespace

ZoneGroupState::ZoneGroupState(const pugi::xml_node& document)
{
    pugi::xml_node zoneGroups = document.child("ZoneGroupState").child("ZoneGroups");
    if (!zoneGroups)
        zoneGroups = document.child("ZoneGroups");
    for (const pugi::xml_node& groupElement : zoneGroups.children("ZoneGroup")) {
        Group group;
        group.id = attributeText(groupElement, "ID");
        group.coordinator = attributeText(groupElement, "Coordinator");
        QList<Member> satellites;
        for (const pugi::xml_node& memberElement : groupElement.children("ZoneGroupMember")) {
            group.members.append({attributeText(memberElement, "UUID"),
                                  flag(memberElement, "Invisible"),
                                  flag(memberElement, "IsZoneBridge"), false});
            for (const pugi::xml_node& satellite : memberElement.children("Satellite"))
                satellites.append(
                    {attributeText(satellite, "UUID"), flag(satellite, "Invisible"), false, true});
        }
        group.members.append(satellites);
        groups.append(group);
    }
}

std::optional<QByteArray> ZoneGroupState::fromSoapResponse(const pugi::xml_node& document)
{
    const pugi::xml_node body = childByLocalName(childByLocalName(document, "Envelope"), "Body");
    const pugi::xml_node answer = childByLocalName(body, "GetZoneGroupStateResponse");
    const pugi::xml_node state = childByLocalName(answer, "ZoneGroupState");
    if (!state)
        return std::nullopt;
    return QByteArray(state.text().get());
}

std::optional<QByteArray> ZoneGroupState::fromPropertySet(const pugi::xml_node& document)
{
    // An event carries each changed variable in a property of its own.
    for (const pugi::xml_node& property : childByLocalName(document, "propertyset").children()) {
        if (!hasLocalName(property, "property"))
            continue;
        const pugi::xml_node state = childByLocalName(property, "ZoneGroupState");
        if (state && *state.text().get())
            return QByteArray(state.text().get());
    }
    return std::nullopt;
}

std::optional<DeviceTopology> ZoneGroupState::topologyFor(const QString& uuid) const
{
    if (uuid.isEmpty())
        return std::nullopt;
    // A listed member wins over a satellite entry for the same speaker.
    for (const bool satellites : {false, true}) {
        for (const Group& group : groups) {
            if (group.id.isEmpty())
                continue;
            for (const Member& member : group.members) {
                if (member.satellite != satellites || member.uuid != uuid)
                    continue;
                const bool coordinates = !member.satellite && group.coordinator == uuid &&
                                         !member.invisible && !member.zoneBridge;
                return DeviceTopology(coordinates, group.id);
            }
        }
    }
    return std::nullopt;
}
