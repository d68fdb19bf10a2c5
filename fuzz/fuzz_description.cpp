// A speaker description as it comes over HTTP, read into a DeviceInfo, which
// must survive the settings document's JSON unchanged.
#include "FuzzTarget.h"

#include "model/DeviceInfo.h"
#include "model/XmlText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pugi::xml_document document;
    if (!XmlText::parse(document, fuzzBytes(data, size)))
        return 0;
    const pugi::xml_node device = document.child("root").child("device");
    if (!device)
        return 0;
    static const QUrl location(
        QStringLiteral("http://192.168.1.20:1400/xml/device_description.xml"));
    const DeviceInfo info(device, location, QStringLiteral("Linux UPnP/1.0 Sonos/79.1"));
    info.defaultName();
    const auto back = DeviceInfo::fromJson(info.toJson());
    if (!back || !(*back == info))
        fuzzFail("a description does not read back from JSON as written");
    return 0;
}
