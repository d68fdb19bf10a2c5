#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>

class QUdpSocket;

// Where an SSDPNotifyListener listens and how much work announcements may cause;
// tests use another port and loopback, and shorten the intervals.
struct SSDPNotifyListenerOptions {
    QHostAddress group{QStringLiteral("239.255.255.250")};
    quint16 port = 1900; // 0 picks a free one (tests)
    // Also join the group on loopback interfaces.
    bool includeLoopback = false;
    // The same (udn, location) is reported at most once per this interval;
    // speakers announce every few minutes, several times in a row.
    std::chrono::milliseconds repeatInterval{5'000};
    // At most maxPerWindow new announcements per window; the rest are dropped.
    std::chrono::milliseconds floodWindow{10'000};
    int maxPerWindow = 64;
    // Bound of the table that remembers recent announcements.
    int maxRemembered = 256;
};

// Listens for SSDP NOTIFY announcements of Sonos ZonePlayers on the SSDP
// multicast group of every multicast-capable IPv4 interface. Does nothing
// until start(). Announcements whose LOCATION is not on the sender's own
// address are ignored, and floods are capped.
class SSDPNotifyListener : public QObject {
    Q_OBJECT
public:
    using Options = SSDPNotifyListenerOptions;

    explicit SSDPNotifyListener(Options options = {}, QObject* parent = nullptr);
    ~SSDPNotifyListener() override;

    // Binds the port (shared with other UPnP software) and joins the group;
    // false with *error set when the port cannot be bound. Starting twice is harmless.
    bool start(QString* error = nullptr);
    // Closes the socket; nothing is reported afterwards.
    void stop();
    // Joins the group again on the interfaces there are now; call after a
    // network change.
    void rejoin();

    bool isListening() const { return m_socket != nullptr; }
    // The bound port, 0 when not listening.
    quint16 localPort() const;
    // Entries in the table of recent announcements; never above maxRemembered.
    int rememberedCount() const { return int(m_recent.size()); }

signals:
    // ssdp:alive or ssdp:update of a ZonePlayer; udn without "uuid:".
    void alive(const QUrl& location, const QString& udn);
    // ssdp:byebye of a ZonePlayer; udn without "uuid:".
    void byebye(const QString& udn);

private:
    void onReadyRead();
    void handle(const QByteArray& datagram, const QHostAddress& sender);
    // Whether an announcement under key is new enough to report.
    bool admit(const QString& key);

    const Options m_options;
    QUdpSocket* m_socket = nullptr;
    QElapsedTimer m_clock;
    // key -> milliseconds on m_clock when it was last reported
    QHash<QString, qint64> m_recent;
    qint64 m_windowStart = 0;
    int m_windowCount = 0;
    bool m_windowWarned = false;
};
