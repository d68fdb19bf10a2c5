#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// How a FakeSpeaker behaves; the defaults are a healthy speaker on current
// firmware. Tests set the switches with designated initializers, in this order.
struct FakeSpeakerConfig {
    enum class Firmware {
        Current, // /status/topology is an empty ZPSupportInfo; ZoneGroupTopology knows the groups
        Old,     // /status/topology lists the players
    };
    enum class Description {
        Normal,
        HtmlError,    // 500 with an HTML page
        NoUdn,        // a description without UDN
        CutAfterUdn,  // the description stops right after </UDN>
        Huge,         // 64 MiB streamed without Content-Length
        HugeDeclared, // 64 MiB announced by Content-Length
    };
    enum class Topology {
        Normal,
        NotFound, // 404 with an empty body
        NoAnswer, // the connection stays open, nothing is sent
        Cut,      // old firmware's list, stopped right after this speaker's entry
        Others,   // old firmware's list, naming another player only
    };

    Firmware firmware = Firmware::Current;
    Description description = Description::Normal;
    Topology topology = Topology::Normal;
    bool zoneGroupStateFails = false; // GetZoneGroupState answers with a SOAP fault
    bool zoneGroupStateCut = false;   // its ZoneGroupState stops after this speaker's entry
    bool coordinator = true;          // in the generated topology and zone group state
    QString modelName = QStringLiteral("Sonos One");
    QByteArray zoneGroupState{}; // a whole ZoneGroupState document instead of the generated one
    int answersPerSearch = 1;    // the same answer, repeated
    int ssdpSpreadMs = 0;        // wait a random 0..spread before answering, as MX allows

    QHostAddress address{QStringLiteral("127.0.0.2")};
    quint16 ssdpPort = 0; // 0: any free port
    quint16 httpPort = 0;
    // Listen on the SSDP port of every address and join 239.255.255.250 on the
    // interface holding `address` (inside a test network namespace).
    bool multicast = false;
    QString udn = QStringLiteral("RINCON_48A6B8C0FFEE01400"); // without uuid:
    QString roomName = QStringLiteral("Kitchen");
    QString group{}; // empty: udn + ":27"
    // Subscriptions to ZoneGroupTopology events (/ZoneGroupTopology/Event).
    enum class Events {
        Normal,  // accepted; the first NOTIFY follows at once
        Refused, // SUBSCRIBE answered 503
        Silent,  // accepted, but no NOTIFY is sent unless a test sends one
    };
    Events events = Events::Normal;
    int subscriptionSeconds = 3600; // TIMEOUT granted
    // The ZoneGroupTopology control URL the description names; requests are served at the default.
    QString controlUrl = QStringLiteral("/ZoneGroupTopology/Control");
};

// A Sonos ZonePlayer stand-in for tests and benchmarks: answers M-SEARCH like
// a speaker, serves a description, /status/topology and GetZoneGroupState
// over HTTP, takes event subscriptions and sends events and SSDP
// announcements when told. Everything runs on the caller's event loop.
class FakeSpeaker : public QObject {
    Q_OBJECT
public:
    using Config = FakeSpeakerConfig;

    explicit FakeSpeaker(Config config, QObject* parent = nullptr);

    // Binds both sockets; false with *error set when either fails.
    bool start(QString* error = nullptr);

    const Config& config() const { return m_config; }
    quint16 ssdpPort() const;
    quint16 httpPort() const;
    QUrl location() const;
    QString usn() const;

    // M-SEARCH datagrams received, as sent.
    const QList<QByteArray>& searches() const { return m_searches; }
    // "GET /path" or "POST /path", one per HTTP request.
    const QStringList& requests() const { return m_requests; }
    // Bytes of a huge body written before the client hung up.
    qint64 hugeBytesSent() const { return m_hugeBytesSent; }
    bool hugeClientHungUp() const { return m_hugeHungUp; }

    // One SUBSCRIBE, renewal or UNSUBSCRIBE received; headers as sent, empty when absent.
    struct GenaCall {
        QByteArray method;
        QByteArray sid;
        QByteArray callback;
        QByteArray nt;
        QByteArray timeout;
        int status = 0; // what we answered
    };
    const QList<GenaCall>& genaCalls() const { return m_genaCalls; }
    // The SID of the subscription held now; empty when none.
    QByteArray subscriptionSid() const { return m_sid; }
    // Forgets the subscription, as a rebooted speaker does: renewals get 412.
    void forgetSubscription();
    // Sends a NOTIFY carrying this ZoneGroupState document (empty: the
    // generated one) to the subscriber's callback; each answer's status code
    // lands in eventReplies() (0: no answer).
    void sendEvent(const QByteArray& zoneGroupState = {});
    const QList<int>& eventReplies() const { return m_eventReplies; }
    // The HTTP request sendEvent sends, for tests that alter it.
    QByteArray eventRequest(const QByteArray& zoneGroupState = {}) const;
    // Where the subscriber wants its events; empty when there is no subscription.
    QUrl callbackUrl() const { return m_callback; }

    // An SSDP NOTIFY of this speaker; nts is "ssdp:alive", "ssdp:update" or "ssdp:byebye".
    QByteArray ssdpNotify(const QByteArray& nts) const;
    // Sends a datagram from the speaker's SSDP socket (so from its address).
    void sendDatagram(const QByteArray& datagram, const QHostAddress& to, quint16 port);

private:
    void onDatagrams();
    QByteArray ssdpAnswer() const;
    void onRequestData(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const QByteArray& method, const QByteArray& path,
                 const QByteArray& headers);
    void streamHuge(QTcpSocket* socket, bool declared);
    QByteArray descriptionXml() const;
    QByteArray topologyXml() const;
    QByteArray zoneGroupStateXml() const;
    QString group() const;
    void respondGena(QTcpSocket* socket, const QByteArray& method, const QByteArray& headers);

    Config m_config;
    QUdpSocket* m_udp = nullptr;
    QTcpServer* m_http = nullptr;
    QList<QByteArray> m_searches;
    QStringList m_requests;
    qint64 m_hugeBytesSent = 0;
    bool m_hugeHungUp = false;
    QList<GenaCall> m_genaCalls;
    QByteArray m_sid;
    QUrl m_callback;
    int m_subscriptionCount = 0;
    int m_eventSeq = 0;
    QList<int> m_eventReplies;
};
