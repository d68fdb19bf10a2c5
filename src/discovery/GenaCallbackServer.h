#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>

class QTcpServer;
class QTcpSocket;
class QTimer;

// Limits of a GenaCallbackServer; tests shorten the time-out.
struct GenaCallbackServerOptions {
    // A household's ZoneGroupState is some tens of kilobytes.
    qint64 maxBodySize = 256 * 1024;
    qsizetype maxHeaderSize = 8 * 1024;
    // Connections beyond this are answered 503 and closed.
    int maxConnections = 8;
    // Longest a connection may take to deliver its whole request.
    std::chrono::milliseconds requestTimeout{5'000};
};

// The callback end of a UPnP event subscription: a small HTTP server that
// accepts only NOTIFY, on one unguessable path, carrying the one SID we
// expect. Anything else is answered with an HTTP error and changes nothing.
class GenaCallbackServer : public QObject {
    Q_OBJECT
public:
    using Options = GenaCallbackServerOptions;

    explicit GenaCallbackServer(Options options = {}, QObject* parent = nullptr);
    ~GenaCallbackServer() override;

    // Listens on address (port chosen by the system) under a fresh random
    // path; false with *error set when it cannot. Listening again moves it.
    bool listen(const QHostAddress& address, QString* error = nullptr);
    // Stops listening and drops every open connection.
    void close();
    bool isListening() const;

    // http://<address>:<port>/<path>, for the CALLBACK header; empty when closed.
    QUrl callbackUrl() const;
    // The SID a NOTIFY must carry; empty accepts none.
    void setExpectedSid(const QString& sid);
    // Accepts any SID until setExpectedSid: while a SUBSCRIBE answer is still
    // on its way, the speaker's first NOTIFY may overtake it.
    void acceptAnySid();

signals:
    // A NOTIFY on our path with an accepted SID; body is a well-formed
    // property set of at most maxBodySize bytes.
    void notified(const QString& sid, const QByteArray& body);

private:
    struct Connection {
        QByteArray buffer;
        qint64 bodyLength = -1; // known once the head is read and accepted
        QByteArray sid;
        QTimer* timer = nullptr;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    // An error code when the head is not acceptable, else 0 (and *length set).
    int checkHead(const QByteArray& head, Connection& connection) const;
    void answer(QTcpSocket* socket, int status);
    void drop(QTcpSocket* socket);

    const Options m_options;
    QTcpServer* m_server = nullptr;
    QByteArray m_path;
    QByteArray m_expectedSid;
    bool m_anySid = false;
    QHash<QTcpSocket*, Connection> m_connections;
};
