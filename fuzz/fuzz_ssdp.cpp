// One datagram as an answer to our M-SEARCH.
#include "FuzzTarget.h"

#include "discovery/SSDPMSearchResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QString reason;
    const auto response = SSDPMSearchResponse::parse(fuzzBytes(data, size), &reason);
    if (!response)
        return 0;
    if (!response->location.isValid() || response->location.scheme() != QLatin1String("http"))
        fuzzFail("an answer without an http LOCATION was taken");
    response->description();
    response->header("x-rincon-household");
    return 0;
}
