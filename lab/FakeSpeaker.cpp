#include "lab/FakeSpeaker.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

namespace {

const QString kZonePlayerType = QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1");
const QString kZoneGroupTopologyType =
    QStringLiteral("urn:schemas-upnp-org:service:ZoneGroupTopology:1");
const QByteArray kSoapHead =
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>";
constexpr qsizetype kMaxRequestSize = 64 * 1024;
constexpr qint64 kHugeSize = 64LL * 1024 * 1024;
constexpr qint64 kHugeChunk = 64 * 1024;

QByteArray httpResponse(const QByteArray& status, const QByteArray& contentType,
                        const QByteArray& body, const QByteArray& extraHeaders = {})
{
    QByteArray text = "HTTP/1.1 " + status + "\r\n" + extraHeaders;
    if (!contentType.isEmpty())
        text += "Content-Type: " + contentType + "\r\n";
    text += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    text += "Server: Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)\r\nConnection: close\r\n\r\n";
    return text + body;
}

QByteArray headerValue(const QByteArray& headers, const QByteArray& name)
{
    for (const QByteArray& line : headers.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

} // namespace

FakeSpeaker::FakeSpeaker(Config config, QObject* parent)
    : QObject(parent), m_config(std::move(config))
{
}

bool FakeSpeaker::start(QString* error)
{
    auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return false;
    };

    m_udp = new QUdpSocket(this);
    if (m_config.multicast) {
        QNetworkInterface holder;
        for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
            for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
                if (entry.ip() == m_config.address)
                    holder = interface;
            }
        }
        if (!holder.isValid())
            return fail(QStringLiteral("no interface holds %1").arg(m_config.address.toString()));
        if (!m_udp->bind(QHostAddress::AnyIPv4, m_config.ssdpPort,
                         QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
            return fail(QStringLiteral("SSDP bind: ") + m_udp->errorString());
        if (!m_udp->joinMulticastGroup(QHostAddress(QStringLiteral("239.255.255.250")), holder))
            return fail(QStringLiteral("multicast join: ") + m_udp->errorString());
        m_udp->setMulticastInterface(holder); // announcements leave where the speaker sits
    } else if (!m_udp->bind(m_config.address, m_config.ssdpPort)) {
        return fail(QStringLiteral("SSDP bind: ") + m_udp->errorString());
    }
    connect(m_udp, &QUdpSocket::readyRead, this, &FakeSpeaker::onDatagrams);

    m_http = new QTcpServer(this);
    m_http->setMaxPendingConnections(256);
    if (!m_http->listen(m_config.address, m_config.httpPort))
        return fail(QStringLiteral("HTTP listen: ") + m_http->errorString());
    connect(m_http, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_http->nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this,
                    [this, socket] { onRequestData(socket); });
        }
    });
    return true;
}

quint16 FakeSpeaker::ssdpPort() const
{
    return m_udp ? m_udp->localPort() : 0;
}

quint16 FakeSpeaker::httpPort() const
{
    return m_http ? m_http->serverPort() : 0;
}

QUrl FakeSpeaker::location() const
{
    return QUrl(QStringLiteral("http://%1:%2/xml/device_description.xml")
                    .arg(m_config.address.toString())
                    .arg(httpPort()));
}

QString FakeSpeaker::usn() const
{
    return QStringLiteral("uuid:%1::%2").arg(m_config.udn, kZonePlayerType);
}

QString FakeSpeaker::group() const
{
    return m_config.group.isEmpty() ? m_config.udn + QStringLiteral(":27") : m_config.group;
}

void FakeSpeaker::onDatagrams()
{
    while (m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram(4096);
        const QByteArray search = datagram.data();
        m_searches.append(search);
        // A ZonePlayer answers searches for its own device type.
        if (!search.startsWith("M-SEARCH * HTTP/1.1\r\n") ||
            headerValue(search, "MAN") != "\"ssdp:discover\"" ||
            headerValue(search, "ST") != kZonePlayerType.toUtf8())
            continue;
        const int delay = m_config.ssdpSpreadMs > 0
                              ? int(QRandomGenerator::global()->bounded(m_config.ssdpSpreadMs + 1))
                              : 0;
        QTimer::singleShot(
            delay, this,
            [this, sender = datagram.senderAddress(), port = quint16(datagram.senderPort())] {
                for (int i = 0; i < m_config.answersPerSearch; ++i)
                    m_udp->writeDatagram(ssdpAnswer(), sender, port);
            });
    }
}

QByteArray FakeSpeaker::ssdpAnswer() const
{
    return QStringLiteral("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age = 1800\r\nEXT:\r\n"
                          "LOCATION: %1\r\nSERVER: Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)\r\n"
                          "ST: %2\r\nUSN: %3\r\n"
                          "X-RINCON-HOUSEHOLD: Sonos_kQ9vA1bB2cC3dD4eE5fF6gG7hH\r\n"
                          "X-RINCON-BOOTSEQ: 74\r\nBOOTID.UPNP.ORG: 74\r\n\r\n")
        .arg(location().toString(), kZonePlayerType, usn())
        .toUtf8();
}

QByteArray FakeSpeaker::descriptionXml() const
{
    QString udn;
    if (m_config.description != Config::Description::NoUdn)
        udn = QStringLiteral("<UDN>uuid:%1</UDN>").arg(m_config.udn.toHtmlEscaped());
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
               "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
               "<deviceType>urn:schemas-upnp-org:device:ZonePlayer:1</deviceType>"
               "<friendlyName>%1 - %2 - %3</friendlyName>"
               "<manufacturer>Sonos, Inc.</manufacturer>"
               "<manufacturerURL>http://www.sonos.com</manufacturerURL>"
               "<modelNumber>S18</modelNumber><modelDescription>%2</modelDescription>"
               "<modelName>%2</modelName>"
               "<softwareVersion>79.1-56030</softwareVersion>"
               "<hardwareVersion>1.20.1.6-2.0</hardwareVersion>"
               "<serialNum>48-A6-B8-C0-FF-EE:8</serialNum>%4"
               "<iconList><icon><id>0</id><mimetype>image/png</mimetype><width>48</width>"
               "<height>48</height><depth>24</depth><url>/img/icon-S18.png</url></icon></iconList>"
               "<apiVersion>1.41.1</apiVersion><displayVersion>16.2</displayVersion>"
               "<roomName>%5</roomName><displayName>One</displayName>"
               "<zoneType>25</zoneType><feature1>0x00000000</feature1><variant>2</variant>"
               "<serviceList>"
               "<service><serviceType>urn:schemas-upnp-org:service:AlarmClock:1</serviceType>"
               "<serviceId>urn:schemas-upnp-org:serviceId:AlarmClock</serviceId>"
               "<controlURL>/AlarmClock/Control</controlURL></service>"
               "<service><serviceType>%6</serviceType>"
               "<serviceId>urn:schemas-upnp-org:serviceId:ZoneGroupTopology</serviceId>"
               "<controlURL>%7</controlURL>"
               "<eventSubURL>/ZoneGroupTopology/Event</eventSubURL></service>"
               "</serviceList></device></root>\n")
        .arg(m_config.address.toString(), m_config.modelName.toHtmlEscaped(),
             m_config.udn.toHtmlEscaped(), udn, m_config.roomName.toHtmlEscaped(),
             kZoneGroupTopologyType, m_config.controlUrl.toHtmlEscaped())
        .toUtf8();
}

QByteArray FakeSpeaker::topologyXml() const
{
    using Topology = Config::Topology;
    QString players;
    if (m_config.firmware == Config::Firmware::Old || m_config.topology != Topology::Normal)
        players =
            QStringLiteral("<ZonePlayers><ZonePlayer group=\"%1\" coordinator=\"%2\" "
                           "wirelessmode=\"0\" uuid=\"%3\" location=\"%4\" "
                           "version=\"54.2-72160\" bootseq=\"74\">%5</ZonePlayer>"
                           "</ZonePlayers>")
                .arg(group().toHtmlEscaped(),
                     m_config.coordinator ? QStringLiteral("true") : QStringLiteral("false"),
                     m_config.topology == Topology::Others
                         ? QStringLiteral("RINCON_000E58AABBCC01400")
                         : m_config.udn.toHtmlEscaped(),
                     location().toString().toHtmlEscaped(), m_config.roomName.toHtmlEscaped());
    if (m_config.topology == Topology::Cut)
        return "<?xml version=\"1.0\" ?>\n<ZPSupportInfo>" +
               players.left(players.indexOf(QStringLiteral("</ZonePlayers>"))).toUtf8();
    return QStringLiteral("<?xml version=\"1.0\" ?>\n<?xml-stylesheet type=\"text/xsl\" "
                          "href=\"/xml/review.xsl\"?><ZPSupportInfo>%1</ZPSupportInfo>\n")
        .arg(players)
        .toUtf8();
}

QByteArray FakeSpeaker::zoneGroupStateXml() const
{
    if (!m_config.zoneGroupState.isEmpty())
        return m_config.zoneGroupState;
    const QString coordinator =
        m_config.coordinator ? m_config.udn : QStringLiteral("RINCON_000E58AABBCC01400");
    const QByteArray whole =
        QStringLiteral("<ZoneGroupState><ZoneGroups><ZoneGroup Coordinator=\"%1\" ID=\"%2\">"
                       "<ZoneGroupMember UUID=\"%3\" Location=\"%4\" ZoneName=\"%5\" "
                       "Icon=\"\" Configuration=\"1\" SoftwareVersion=\"79.1-56030\" "
                       "SWGen=\"2\" BootSeq=\"74\" WirelessMode=\"0\" AirPlayEnabled=\"1\"/>"
                       "</ZoneGroup></ZoneGroups><VanishedDevices></VanishedDevices>"
                       "</ZoneGroupState>")
            .arg(coordinator.toHtmlEscaped(), group().toHtmlEscaped(), m_config.udn.toHtmlEscaped(),
                 location().toString().toHtmlEscaped(), m_config.roomName.toHtmlEscaped())
            .toUtf8();
    return m_config.zoneGroupStateCut ? whole.left(whole.indexOf("</ZoneGroup>")) : whole;
}

void FakeSpeaker::onRequestData(QTcpSocket* socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    if (buffer.size() > kMaxRequestSize) {
        socket->abort();
        return;
    }
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    socket->setProperty("buffer", buffer);
    if (end < 0 ||
        buffer.size() - end - 4 < headerValue(buffer.left(end), "Content-Length").toLongLong())
        return; // the rest of the request is still to come
    socket->setProperty("answered", true);
    const QByteArray head = buffer.left(end);
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    m_requests.append(QString::fromLatin1(requestLine.value(0) + ' ' + requestLine.value(1)));
    respond(socket, requestLine.value(0), requestLine.value(1), head);
}

void FakeSpeaker::respond(QTcpSocket* socket, const QByteArray& method, const QByteArray& path,
                          const QByteArray& headers)
{
    using Description = Config::Description;
    QByteArray answer = httpResponse("404 Not Found", {}, {});
    if (method == "GET" && path == "/xml/device_description.xml") {
        if (m_config.description == Description::Huge ||
            m_config.description == Description::HugeDeclared)
            return streamHuge(socket, m_config.description == Description::HugeDeclared);
        if (m_config.description == Description::HtmlError)
            answer = httpResponse("500 Internal Server Error", "text/html",
                                  "<html><head><title>500 Internal Server Error</title></head>"
                                  "<body><h1>Internal Server Error</h1></body></html>");
        else if (m_config.description == Description::CutAfterUdn)
            answer = httpResponse("200 OK", "text/xml",
                                  descriptionXml().left(descriptionXml().indexOf("</UDN>") + 6));
        else
            answer = httpResponse("200 OK", "text/xml", descriptionXml());
    } else if (method == "GET" && path == "/status/topology") {
        if (m_config.topology == Config::Topology::NoAnswer)
            return; // hold the connection until the client gives up
        if (m_config.topology != Config::Topology::NotFound)
            answer = httpResponse("200 OK", "text/xml", topologyXml());
    } else if (path == "/ZoneGroupTopology/Event") {
        return respondGena(socket, method, headers);
    } else if (method == "POST" && path == "/ZoneGroupTopology/Control" &&
               headerValue(headers, "SOAPACTION").contains("#GetZoneGroupState")) {
        if (m_config.zoneGroupStateFails)
            answer = httpResponse(
                "500 Internal Server Error", "text/xml; charset=\"utf-8\"",
                kSoapHead + "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError"
                            "</faultstring><detail><UPnPError xmlns=\"urn:schemas-upnp-org:"
                            "control-1-0\"><errorCode>401</errorCode></UPnPError></detail>"
                            "</s:Fault></s:Body></s:Envelope>");
        else
            answer = httpResponse(
                "200 OK", "text/xml; charset=\"utf-8\"",
                kSoapHead + "<u:GetZoneGroupStateResponse xmlns:u=\"" +
                    kZoneGroupTopologyType.toUtf8() + "\"><ZoneGroupState>" +
                    QString::fromUtf8(zoneGroupStateXml()).toHtmlEscaped().toUtf8() +
                    "</ZoneGroupState></u:GetZoneGroupStateResponse></s:Body></s:Envelope>");
    }
    socket->write(answer);
    socket->disconnectFromHost();
}

void FakeSpeaker::streamHuge(QTcpSocket* socket, bool declared)
{
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
    if (declared)
        head += "Content-Length: " + QByteArray::number(kHugeSize) + "\r\n";
    socket->write(head + "Connection: close\r\n\r\n");
    m_hugeBytesSent = 0;
    m_hugeHungUp = false;
    const QByteArray chunk = "<root><device>" + QByteArray(kHugeChunk - 14, ' ');
    auto more = [this, socket, chunk] {
        // Keep a little queued, so the bytes counted are the bytes the client took.
        while (socket->state() == QAbstractSocket::ConnectedState &&
               socket->bytesToWrite() < 4 * kHugeChunk && m_hugeBytesSent < kHugeSize) {
            socket->write(chunk);
            m_hugeBytesSent += chunk.size();
        }
        if (m_hugeBytesSent >= kHugeSize)
            socket->disconnectFromHost();
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, more);
    connect(socket, &QTcpSocket::disconnected, this, [this] { m_hugeHungUp = true; });
    more();
}

void FakeSpeaker::respondGena(QTcpSocket* socket, const QByteArray& method,
                              const QByteArray& headers)
{
    GenaCall call{method, headerValue(headers, "SID"), headerValue(headers, "CALLBACK"),
                  headerValue(headers, "NT"), headerValue(headers, "TIMEOUT")};
    const bool fresh = method == "SUBSCRIBE" && call.sid.isEmpty();
    const bool known = !call.sid.isEmpty() && call.sid == m_sid;
    QByteArray status = "412 Precondition Failed";
    QByteArray extra;
    if (fresh && m_config.events == Config::Events::Refused) {
        status = "503 Service Unavailable";
    } else if (fresh) {
        const QByteArray callback = call.callback.mid(1, call.callback.size() - 2);
        if (!call.callback.startsWith('<') || call.nt != "upnp:event") {
            status = "400 Bad Request";
        } else {
            m_sid = "uuid:" + m_config.udn.toUtf8() + "_sub" +
                    QByteArray::number(++m_subscriptionCount).rightJustified(10, '0');
            m_callback = QUrl(QString::fromLatin1(callback));
            m_eventSeq = 0;
            status = "200 OK";
        }
    } else if (method == "SUBSCRIBE" && known) {
        status = "200 OK";
    } else if (method == "UNSUBSCRIBE" && known) {
        status = "200 OK";
        m_sid.clear();
        m_callback.clear();
    } else if (method != "SUBSCRIBE" && method != "UNSUBSCRIBE") {
        status = "405 Method Not Allowed";
    }
    if (status == "200 OK" && method == "SUBSCRIBE")
        extra = "SID: " + m_sid + "\r\nTIMEOUT: Second-" +
                QByteArray::number(m_config.subscriptionSeconds) + "\r\n";
    call.status = status.left(3).toInt();
    m_genaCalls.append(call);
    socket->write(httpResponse(status, {}, {}, extra));
    socket->disconnectFromHost();
    // Like a speaker: the initial event goes out right after the answer.
    if (fresh && call.status == 200 && m_config.events == Config::Events::Normal)
        sendEvent();
}

void FakeSpeaker::forgetSubscription()
{
    m_sid.clear();
    m_callback.clear();
}

QByteArray FakeSpeaker::eventRequest(const QByteArray& zoneGroupState) const
{
    const QByteArray state = zoneGroupState.isEmpty() ? zoneGroupStateXml() : zoneGroupState;
    const QByteArray body =
        "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"
        "<e:property><AvailableSoftwareUpdate>&lt;UpdateItem/&gt;</AvailableSoftwareUpdate>"
        "</e:property><e:property><ZoneGroupState>" +
        QString::fromUtf8(state).toHtmlEscaped().toUtf8() +
        "</ZoneGroupState></e:property></e:propertyset>";
    return "NOTIFY " + m_callback.path(QUrl::FullyEncoded).toLatin1() +
           " HTTP/1.1\r\nHOST: " + m_callback.authority().toLatin1() +
           "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nNT: upnp:event\r\n"
           "NTS: upnp:propchange\r\nSID: " +
           m_sid + "\r\nSEQ: " + QByteArray::number(m_eventSeq) +
           "\r\nCONTENT-LENGTH: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

void FakeSpeaker::sendEvent(const QByteArray& zoneGroupState)
{
    if (m_callback.isEmpty())
        return;
    const QByteArray request = eventRequest(zoneGroupState);
    ++m_eventSeq;
    auto* socket = new QTcpSocket(this);
    const qsizetype index = m_eventReplies.size();
    m_eventReplies.append(0);
    connect(socket, &QTcpSocket::connected, socket, [socket, request] { socket->write(request); });
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, index] {
        const QList<QByteArray> status = socket->readLine().split(' ');
        m_eventReplies[index] = status.value(1).toInt();
        socket->disconnectFromHost();
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
    socket->connectToHost(m_callback.host(), quint16(m_callback.port()));
}

QByteArray FakeSpeaker::ssdpNotify(const QByteArray& nts) const
{
    QByteArray text = "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                      "CACHE-CONTROL: max-age = 1800\r\n";
    if (nts != "ssdp:byebye")
        text += "LOCATION: " + location().toEncoded() +
                "\r\nSERVER: Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)\r\n";
    return text + "NT: " + kZonePlayerType.toUtf8() + "\r\nNTS: " + nts +
           "\r\nUSN: " + usn().toUtf8() +
           "\r\nX-RINCON-HOUSEHOLD: Sonos_kQ9vA1bB2cC3dD4eE5fF6gG7hH\r\n"
           "X-RINCON-BOOTSEQ: 74\r\nBOOTID.UPNP.ORG: 74\r\n\r\n";
}

void FakeSpeaker::sendDatagram(const QByteArray& datagram, const QHostAddress& to, quint16 port)
{
    m_udp->writeDatagram(datagram, to, port);
}
