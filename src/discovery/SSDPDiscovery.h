#pragma once

#include "discovery/SSDPMSearchRequest.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class SSDPDiscoverySession;

// One place an M-SEARCH is sent to.
struct SSDPDestination {
    QHostAddress address;
    quint16 port = 1900;
};

// How an SSDPDiscovery sends and listens; tests point it at loopback.
struct SSDPDiscoveryOptions {
    // Where the M-SEARCH goes. The SSDP multicast group is sent to on every
    // up, running, multicast-capable IPv4 interface except loopback; any
    // other address (a fake speaker on loopback in tests) is sent to as is.
    QList<SSDPDestination> destinations{{QHostAddress(QStringLiteral("239.255.255.250")), 1900}};
    // Where answers arrive; port 0 picks a free one.
    QHostAddress bindAddress{QHostAddress::AnyIPv4};
    quint16 bindPort = 0;
    // UDP loses datagrams, so the request goes out several times early on.
    int transmissions = 3;
    std::chrono::milliseconds retransmitInterval{900};
    int multicastTtl = 2;
};

// Our SSDP client: starts M-SEARCH sessions over UDP and keeps each open
// session alive until it has reported its end. Everything runs on the main
// event loop.
class SSDPDiscovery : public QObject {
    Q_OBJECT
public:
    using Options = SSDPDiscoveryOptions;

    // A started session, or the reason none could start.
    struct BeginSearchResult {
        std::shared_ptr<SSDPDiscoverySession> session;
        QString error;
        explicit operator bool() const { return session != nullptr; }
    };

    // The production client: multicast on the local network.
    static SSDPDiscovery& defaultDiscovery();

    explicit SSDPDiscovery(Options options = {}, QObject* parent = nullptr);
    // Open sessions stop without reporting to their delegates.
    ~SSDPDiscovery() override;

    // timeout: session length in seconds; absent runs until end().
    BeginSearchResult beginSearch(const SSDPMSearchRequest& request, std::optional<double> timeout);

    const Options& options() const { return m_options; }

private:
    void onSessionClosed(SSDPDiscoverySession* session);

    Options m_options;
    int m_nextSessionId = 1;
    std::vector<std::shared_ptr<SSDPDiscoverySession>> m_openSessions;
};
