#pragma once

#include <QByteArray>
#include <QUrl>

#include <pugixml.hpp>

// The ZoneGroupTopology service that a ZonePlayer's description lists, as
// discovery and group events both call it.
namespace ZoneGroupService {

// One of the service's URLs ("controlURL", "eventSubURL"), kept on the
// speaker's own host and port whatever the document says; empty when the
// description has no usable one.
QUrl url(const pugi::xml_node& device, const QUrl& location, const char* element);

// GetZoneGroupState: the SOAP action and the request body.
QByteArray getZoneGroupStateAction();
QByteArray getZoneGroupStateEnvelope();

} // namespace ZoneGroupService
