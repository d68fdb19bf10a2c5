#pragma once

#include "model/DeviceTopology.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <pugixml.hpp>

#include <optional>

// The zone groups of a Sonos household as the ZoneGroupTopology service's
// GetZoneGroupState reports them. Current firmware no longer lists players in
// /status/topology, so this is where group membership comes from.
struct ZoneGroupState {
    struct Member {
        QString uuid;
        bool invisible = false;  // the hidden half of a stereo pair, a satellite
        bool zoneBridge = false; // BOOST or Bridge: carries no audio
        bool satellite = false;  // home-theatre surround or sub under a member
    };
    struct Group {
        QString id;
        QString coordinator;
        QList<Member> members; // members first, then satellites, in document order
    };

    QList<Group> groups;

    ZoneGroupState() = default;
    // From a ZoneGroupState document: root ZoneGroupState holding ZoneGroups,
    // or, as older firmware writes it, ZoneGroups itself. Never fails.
    explicit ZoneGroupState(const pugi::xml_node& document);

    // The ZoneGroupState argument of a GetZoneGroupState SOAP answer, still
    // as XML text; absent when the envelope holds no such answer.
    static std::optional<QByteArray> fromSoapResponse(const pugi::xml_node& document);
    // The ZoneGroupState property of a UPnP event (an e:propertyset), still as
    // XML text; absent when the event carries none or an empty one.
    static std::optional<QByteArray> fromPropertySet(const pugi::xml_node& document);

    // The speaker's place: as a member, it coordinates when the group names it
    // and it is neither invisible nor a zone bridge; as a satellite only, it
    // never does. Absent when the speaker is not listed.
    std::optional<DeviceTopology> topologyFor(const QString& uuid) const;
};
