#include "discovery/GenaCallbackServer.h"

#include "log/Logging.h"
#include "model/XmlText.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QString kCategory = QStringLiteral("events");

QByteArray statusLine(int status)
{
    switch (status) {
    case 200:
        return "200 OK";
    case 400:
        return "400 Bad Request";
    case 404:
        return "404 Not Found";
    case 405:
        return "405 Method Not Allowed";
    case 412:
        return "412 Precondition Failed";
    case 413:
        return "413 Content Too Large";
    default:
        return "503 Service Unavailable";
    }
}

QByteArray response(int status)
{
    return "HTTP/1.1 " + statusLine(status) + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

QByteArray headerValue(const QList<QByteArray>& lines, const char* name, int* count)
{
    QByteArray value;
    *count = 0;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            value = line.mid(colon + 1).trimmed();
            ++*count;
        }
    }
    return value;
}

// An event body is one e:propertyset element, whatever its prefix.
bool isPropertySet(const QByteArray& body)
{
    pugi::xml_document document;
    if (!XmlText::parse(document, body))
        return false;
    const QByteArray name(document.document_element().name());
    return name == "propertyset" || name.endsWith(":propertyset");
}

} // namespace

GenaCallbackServer::GenaCallbackServer(Options options, QObject* parent)
    : QObject(parent), m_options(options)
{
}

GenaCallbackServer::~GenaCallbackServer()
{
    close();
}

bool GenaCallbackServer::listen(const QHostAddress& address, QString* error)
{
    close();
    m_server = new QTcpServer(this);
    m_server->setMaxPendingConnections(m_options.maxConnections);
    if (!m_server->listen(address, 0)) {
        if (error)
            *error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    // 128 random bits: only the speaker we told can find the path.
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    m_path = '/' + QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
    connect(m_server, &QTcpServer::newConnection, this, &GenaCallbackServer::onNewConnection);
    return true;
}

void GenaCallbackServer::close()
{
    const auto sockets = m_connections.keys();
    for (QTcpSocket* socket : sockets)
        drop(socket);
    delete m_server;
    m_server = nullptr;
    m_path.clear();
    m_expectedSid.clear();
    m_anySid = false;
}

void GenaCallbackServer::setExpectedSid(const QString& sid)
{
    m_expectedSid = sid.toUtf8();
    m_anySid = false;
}

void GenaCallbackServer::acceptAnySid()
{
    m_expectedSid.clear();
    m_anySid = true;
}

bool GenaCallbackServer::isListening() const
{
    return m_server != nullptr;
}

QUrl GenaCallbackServer::callbackUrl() const
{
    if (!m_server)
        return {};
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(m_server->serverAddress().toString());
    url.setPort(m_server->serverPort());
    url.setPath(QString::fromLatin1(m_path));
    return url;
}

void GenaCallbackServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (m_connections.size() >= m_options.maxConnections) {
            // The request is never looked at, only drained so the answer is not lost to a reset.
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write(response(503));
            socket->readAll();
            socket->disconnectFromHost();
            // A peer that never reads must not keep it alive.
            QTimer::singleShot(m_options.requestTimeout, socket, &QObject::deleteLater);
            continue;
        }
        Connection& connection = m_connections[socket];
        connection.timer = new QTimer(socket);
        connection.timer->setSingleShot(true);
        connect(connection.timer, &QTimer::timeout, this, [this, socket] { drop(socket); });
        connection.timer->start(m_options.requestTimeout);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
        onReadyRead(socket);
    }
}

void GenaCallbackServer::onReadyRead(QTcpSocket* socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection& connection = *it;
    if (connection.bodyLength < 0) {
        // No more than one byte past the header limit is ever held.
        const qint64 room = m_options.maxHeaderSize + 1 - connection.buffer.size();
        connection.buffer += socket->read(std::min(room, socket->bytesAvailable()));
        const qsizetype end = connection.buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (connection.buffer.size() > m_options.maxHeaderSize)
                answer(socket, 400);
            return;
        }
        if (const int status = checkHead(connection.buffer.left(end), connection)) {
            answer(socket, status);
            return;
        }
        connection.buffer.remove(0, end + 4);
        if (connection.buffer.size() > connection.bodyLength) {
            answer(socket, 400); // more than announced
            return;
        }
    }
    const qint64 missing = connection.bodyLength - connection.buffer.size();
    connection.buffer += socket->read(std::min(missing + 1, socket->bytesAvailable()));
    if (connection.buffer.size() > connection.bodyLength) {
        answer(socket, 400);
        return;
    }
    if (connection.buffer.size() < connection.bodyLength)
        return;
    const QByteArray body = std::move(connection.buffer);
    const QString sid = QString::fromLatin1(connection.sid);
    if (!isPropertySet(body)) {
        answer(socket, 400);
        return;
    }
    answer(socket, 200);
    emit notified(sid, body);
}

int GenaCallbackServer::checkHead(const QByteArray& head, Connection& connection) const
{
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QList<QByteArray> request = lines.takeFirst().split(' ');
    if (request.size() != 3 || !request[2].startsWith("HTTP/1."))
        return 400;
    if (request[0] != "NOTIFY")
        return 405;
    if (m_path.isEmpty() || request[1] != m_path)
        return 404;

    int count = 0;
    const QByteArray nt = headerValue(lines, "NT", &count);
    const QByteArray nts = headerValue(lines, "NTS", &count);
    if (nt.isEmpty() || nts.isEmpty())
        return 400;
    if (nt != "upnp:event" || nts != "upnp:propchange")
        return 412;
    const QByteArray sid = headerValue(lines, "SID", &count);
    const bool accepted = m_anySid ? sid.startsWith("uuid:") && sid.size() <= 256
                                   : !m_expectedSid.isEmpty() && sid == m_expectedSid;
    if (count != 1 || !accepted)
        return 412;
    int encodings = 0;
    headerValue(lines, "Transfer-Encoding", &encodings);
    const QByteArray lengthText = headerValue(lines, "Content-Length", &count);
    bool ok = false;
    const qint64 value = lengthText.toLongLong(&ok);
    if (encodings != 0 || count != 1 || !ok || value < 0 || lengthText.startsWith('+'))
        return 400;
    if (value > m_options.maxBodySize)
        return 413;
    connection.bodyLength = value;
    connection.sid = sid;
    return 0;
}

void GenaCallbackServer::answer(QTcpSocket* socket, int status)
{
    if (status != 200)
        Logging::debug(QStringLiteral("Refused an event callback from %1 with %2")
                           .arg(socket->peerAddress().toString())
                           .arg(status),
                       kCategory);
    const auto it = m_connections.find(socket);
    if (it != m_connections.end())
        it->buffer.clear();
    // One request per connection. Whatever else the peer sends is drained
    // unread: closing on unread bytes would reset the connection and could
    // lose the answer.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    socket->readAll();
    socket->write(response(status));
    socket->disconnectFromHost();
}

void GenaCallbackServer::drop(QTcpSocket* socket)
{
    if (!m_connections.remove(socket))
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}
