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
        Huge,         // 64 MiB streamed without Content-Length
        HugeDeclared, // 64 MiB announced by Content-Length
    };
    enum class Topology {
        Normal,
        NotFound, // 404 with an empty body
        NoAnswer, // the connection stays open, nothing is sent
    };

    Firmware firmware = Firmware::Current;
    Description description = Description::Normal;
    Topology topology = Topology::Normal;
    bool zoneGroupStateFails = false; // GetZoneGroupState answers with a SOAP fault
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
    // The ZoneGroupTopology control URL the description names; requests are served at the default.
    QString controlUrl = QStringLiteral("/ZoneGroupTopology/Control");
};

// A Sonos ZonePlayer stand-in for tests and benchmarks: answers M-SEARCH like
// a speaker and serves a description, /status/topology and GetZoneGroupState
// over HTTP. Everything runs on the caller's event loop.
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

    Config m_config;
    QUdpSocket* m_udp = nullptr;
    QTcpServer* m_http = nullptr;
    QList<QByteArray> m_searches;
    QStringList m_requests;
    qint64 m_hugeBytesSent = 0;
    bool m_hugeHungUp = false;
};
