// A GetZoneGroupState answer, or a ZoneGroupState document on its own, and
// the place of every speaker it names.
#include "FuzzTarget.h"

#include "model/XmlText.h"
#include "model/ZoneGroupState.h"

namespace {

// A speaker said to coordinate must be the coordinator some group of that ID names.
void checkCoordinator(const ZoneGroupState& state, const QString& uuid)
{
    const auto topology = state.topologyFor(uuid);
    if (!topology || !topology->coordinator)
        return;
    for (const ZoneGroupState::Group& group : state.groups) {
        if (group.id == topology->group && group.coordinator == uuid)
            return;
    }
    fuzzFail("a speaker coordinates a group that names another coordinator");
}

void lookUpEveryone(const pugi::xml_node& root)
{
    const ZoneGroupState state(root);
    for (const ZoneGroupState::Group& group : state.groups) {
        for (const ZoneGroupState::Member& member : group.members)
            checkCoordinator(state, member.uuid);
    }
    checkCoordinator(state, QStringLiteral("RINCON_48A6B8C0FFEE01400"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pugi::xml_document document;
    if (!XmlText::parse(document, fuzzBytes(data, size)))
        return 0;
    lookUpEveryone(document.root());
    if (const auto text = ZoneGroupState::fromSoapResponse(document.root())) {
        pugi::xml_document state;
        if (XmlText::parse(state, *text))
            lookUpEveryone(state.root());
    }
    return 0;
}
