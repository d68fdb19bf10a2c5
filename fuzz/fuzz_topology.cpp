// A /status/topology document, looked up for a speaker it may or may not list.
#include "FuzzTarget.h"

#include "model/DeviceTopology.h"
#include "model/XmlText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pugi::xml_document document;
    if (!XmlText::parse(document, fuzzBytes(data, size)))
        return 0;
    const QString uuid = QStringLiteral("RINCON_48A6B8C0FFEE01400");
    const DeviceTopology topology(document.root(), uuid);
    const bool lists = DeviceTopology::listsPlayers(document.root());
    if (!lists && topology != DeviceTopology(true, uuid))
        fuzzFail("a topology listing no player places the speaker");
    const auto back = DeviceTopology::fromJson(topology.toJson());
    if (!back || *back != topology)
        fuzzFail("a topology does not read back from JSON");
    return 0;
}
