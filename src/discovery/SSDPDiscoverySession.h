#pragma once

#include "discovery/SSDPDiscovery.h"
#include "discovery/SSDPMSearchRequest.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>

class QUdpSocket;

// One M-SEARCH session: sends the request, hands each new answer to the
// delegate and reports its end exactly once.
class SSDPDiscoverySession : public QObject {
    Q_OBJECT
public:
    ~SSDPDiscoverySession() override;

    // Stops the session and reports closedSession before returning; later calls do nothing.
    void end();

    bool isOpen() const { return m_state == State::Open; }
    const SSDPMSearchRequest& request() const { return m_request; }
    // The UDP port answers arrive on.
    quint16 localPort() const;
    // Text form for log lines.
    QString description() const;

    // Distinct answers one session passes on; a flood beyond this is dropped.
    static constexpr int kMaxAnswers = 1024;

private:
    friend class SSDPDiscovery;
    enum class State { Open, Closed };

    SSDPDiscoverySession(int id, SSDPMSearchRequest request, const SSDPDiscovery::Options& options,
                         std::function<void(SSDPDiscoverySession*)> onClosed);
    bool open(QString* error);
    void start(std::optional<std::chrono::milliseconds> timeout);
    // Stops without telling the delegate; for a discovery that goes away.
    void abandon();

    void sendRequest();
    void onReadyRead();
    void handleDatagram(const QByteArray& datagram, const QString& sender);
    void stopIO();
    void finish();

    const int m_id;
    const SSDPMSearchRequest m_request;
    const SSDPDiscovery::Options m_options;
    std::function<void(SSDPDiscoverySession*)> m_onClosed;
    State m_state = State::Open;
    QUdpSocket* m_socket = nullptr;
    QTimer m_retransmitTimer;
    QTimer m_timeoutTimer;
    int m_transmissions = 0;
    QSet<QString> m_seen; // USN and LOCATION of the answers passed on
    bool m_floodLogged = false;
};
