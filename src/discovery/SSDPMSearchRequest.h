#pragma once

#include "discovery/SSDPSearchTarget.h"

#include <QByteArray>
#include <QList>
#include <QPair>

class SSDPDiscoveryDelegate;

// One M-SEARCH as a session sends it.
struct SSDPMSearchRequest {
    // Not owned; must outlive the session or end it first.
    SSDPDiscoveryDelegate* delegate = nullptr;
    SSDPSearchTarget searchTarget = SSDPSearchTarget::all();
    // MX: seconds a device may wait before it answers (1 to 5 by UDA 1.1).
    int maximumWaitResponseTime = 1;
    QList<QPair<QByteArray, QByteArray>> extraHeaders;

    // The datagram sent to host:port (the HOST header).
    QByteArray datagram(const QString& host, quint16 port) const;
};
