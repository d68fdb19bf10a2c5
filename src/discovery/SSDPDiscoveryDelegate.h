#pragma once

#include "discovery/SSDPMSearchResponse.h"

class SSDPDiscoverySession;

// Receives the outcome of a search session, always on the main event loop.
class SSDPDiscoveryDelegate {
public:
    virtual ~SSDPDiscoveryDelegate() = default;

    // An answer whose ST names a device (or the root device).
    virtual void discoveredDevice(const SSDPMSearchResponse& response,
                                  SSDPDiscoverySession& session) = 0;
    // An answer whose ST names a service type.
    virtual void discoveredService(const SSDPMSearchResponse& response,
                                   SSDPDiscoverySession& session) = 0;
    // The session has ended, by its time-out or by end(); called once per session.
    virtual void closedSession(SSDPDiscoverySession& session) = 0;
};
