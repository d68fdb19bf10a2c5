#include "discovery/ZoneGroupService.h"

#include "model/XmlText.h"

namespace {

const QString kType = QStringLiteral("urn:schemas-upnp-org:service:ZoneGroupTopology:1");

} // namespace

namespace ZoneGroupService {

QUrl url(const pugi::xml_node& device, const QUrl& location, const char* element)
{
    for (const pugi::xml_node& service : device.child("serviceList").children("service")) {
        if (XmlText::childText(service, "serviceType") != kType)
            continue;
        const auto text = XmlText::childText(service, element);
        const QUrl reference = text ? QUrl(*text, QUrl::StrictMode) : QUrl();
        if (!reference.isValid() || reference.path().isEmpty())
            return {};
        QUrl url = location.resolved(reference);
        url.setScheme(location.scheme());
        url.setHost(location.host());
        url.setPort(location.port());
        url.setUserInfo({});
        url.setFragment({});
        return url.isValid() ? url : QUrl();
    }
    return {};
}

QByteArray getZoneGroupStateAction()
{
    return kType.toUtf8() + "#GetZoneGroupState";
}

QByteArray getZoneGroupStateEnvelope()
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\""
           " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<s:Body><u:GetZoneGroupState "
           "xmlns:u=\"urn:schemas-upnp-org:service:ZoneGroupTopology:1\">"
           "</u:GetZoneGroupState></s:Body></s:Envelope>";
}

} // namespace ZoneGroupService
