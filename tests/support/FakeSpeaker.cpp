#include "support/FakeSpeaker.h"

#include <QHash>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

namespace {

const QHostAddress kSsdpGroup(QStringLiteral("239.255.255.250"));
const QString kZonePlayerType = QStringLiteral("urn:schemas-upnp-org:device:ZonePlayer:1");
const QString kZoneGroupTopologyType =
    QStringLiteral("urn:schemas-upnp-org:service:ZoneGroupTopology:1");
constexpr qsizetype kMaxRequestSize = 64 * 1024;
constexpr qint64 kHugeSize = 64LL * 1024 * 1024;
constexpr qint64 kHugeChunk = 64 * 1024;

QByteArray httpResponse(const QByteArray& status, const QByteArray& contentType,
                        const QByteArray& body)
{
    QByteArray text = "HTTP/1.1 " + status + "\r\n";
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

FakeSpeaker::~FakeSpeaker() = default;

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
        if (!m_udp->joinMulticastGroup(kSsdpGroup, holder))
            return fail(QStringLiteral("multicast join: ") + m_udp->errorString());
    } else if (!m_udp->bind(m_config.address, m_config.ssdpPort)) {
        return fail(QStringLiteral("SSDP bind: ") + m_udp->errorString());
    }
    connect(m_udp, &QUdpSocket::readyRead, this, &FakeSpeaker::onDatagrams);

    m_http = new QTcpServer(this);
    m_http->setMaxPendingConnections(256);
    if (!m_http->listen(m_config.address, m_config.httpPort))
        return fail(QStringLiteral("HTTP listen: ") + m_http->errorString());
    connect(m_http, &QTcpServer::newConnection, this, &FakeSpeaker::onConnection);
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
        m_searches.append(datagram.data());
        emit searchReceived();
        answerSearch(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void FakeSpeaker::answerSearch(const QByteArray& datagram, const QHostAddress& sender, quint16 port)
{
    if (m_config.ssdpSilent || !datagram.startsWith("M-SEARCH * HTTP/1.1\r\n") ||
        headerValue(datagram, "MAN") != "\"ssdp:discover\"")
        return;
    const QString st = QString::fromUtf8(headerValue(datagram, "ST"));
    const QString uuid = QStringLiteral("uuid:") + m_config.udn;

    QList<QByteArray> answers;
    if (st == QLatin1String("ssdp:all")) {
        answers << ssdpAnswer(QStringLiteral("upnp:rootdevice"),
                              uuid + QStringLiteral("::upnp:rootdevice"))
                << ssdpAnswer(kZonePlayerType, usn())
                << ssdpAnswer(kZoneGroupTopologyType,
                              uuid + QStringLiteral("::") + kZoneGroupTopologyType);
    } else if (st == kZonePlayerType) {
        answers << ssdpAnswer(st, usn());
    } else if (st == QLatin1String("upnp:rootdevice")) {
        answers << ssdpAnswer(st, uuid + QStringLiteral("::upnp:rootdevice"));
    } else if (st == uuid) {
        answers << ssdpAnswer(st, uuid);
    }
    if (answers.isEmpty())
        return;

    int delay = m_config.ssdpDelayMs;
    if (m_config.ssdpSpreadMs > 0)
        delay += int(QRandomGenerator::global()->bounded(m_config.ssdpSpreadMs + 1));
    QTimer::singleShot(delay, this, [this, answers, sender, port] {
        for (int i = 0; i < m_config.answersPerSearch; ++i) {
            for (const QByteArray& answer : answers)
                m_udp->writeDatagram(answer, sender, port);
        }
    });
}

QByteArray FakeSpeaker::ssdpAnswer(const QString& searchTarget, const QString& usn) const
{
    QByteArray text = "HTTP/1.1 200 OK\r\n";
    text += "CACHE-CONTROL: max-age = 1800\r\n";
    text += "EXT:\r\n";
    text += "LOCATION: " + location().toEncoded() + "\r\n";
    text += "SERVER: Linux UPnP/1.0 Sonos/79.1-56030 (ZPS18)\r\n";
    text += "ST: " + searchTarget.toUtf8() + "\r\n";
    text += "USN: " + usn.toUtf8() + "\r\n";
    text += "X-RINCON-HOUSEHOLD: " + m_config.household.toUtf8() + "\r\n";
    text += "X-RINCON-BOOTSEQ: 74\r\n";
    text += "BOOTID.UPNP.ORG: 74\r\n";
    text += "X-RINCON-WIFIMODE: 0\r\n";
    text += "X-RINCON-VARIANT: 2\r\n";
    text += "HOUSEHOLD.SMARTSPEAKER.AUDIO: " + m_config.household.toUtf8() + ".vSmi2P0RaJkY2v\r\n";
    text += "\r\n";
    return text;
}

QByteArray FakeSpeaker::descriptionXml() const
{
    const QString model = m_config.modelName.toHtmlEscaped();
    QString udn;
    if (m_config.description != Config::Description::NoUdn)
        udn = QStringLiteral("<UDN>uuid:%1</UDN>").arg(m_config.udn.toHtmlEscaped());
    return QStringLiteral(
               "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
               "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
               "<specVersion><major>1</major><minor>0</minor></specVersion>"
               "<device>"
               "<deviceType>urn:schemas-upnp-org:device:ZonePlayer:1</deviceType>"
               "<friendlyName>%1 - %2 - %3</friendlyName>"
               "<manufacturer>Sonos, Inc.</manufacturer>"
               "<manufacturerURL>http://www.sonos.com</manufacturerURL>"
               "<modelNumber>S18</modelNumber><modelDescription>%2</modelDescription>"
               "<modelName>%2</modelName>"
               "<modelURL>http://www.sonos.com/products/zoneplayers/S18</modelURL>"
               "<softwareVersion>79.1-56030</softwareVersion>"
               "<hardwareVersion>1.20.1.6-2.0</hardwareVersion>"
               "<serialNum>48-A6-B8-C0-FF-EE:8</serialNum>%4"
               "<iconList><icon><id>0</id><mimetype>image/png</mimetype><width>48</width>"
               "<height>48</height><depth>24</depth><url>/img/icon-S18.png</url></icon></iconList>"
               "<minCompatibleVersion>78.0-00000</minCompatibleVersion>"
               "<legacyCompatibleVersion>58.0-00000</legacyCompatibleVersion>"
               "<apiVersion>1.41.1</apiVersion><displayVersion>16.2</displayVersion>"
               "<extraVersion></extraVersion><roomName>%5</roomName><displayName>One</displayName>"
               "<zoneType>25</zoneType><feature1>0x00000000</feature1>"
               "<feature2>0x00403332</feature2><feature3>0x0001302</feature3><variant>2</variant>"
               "<internalSpeakerSize>3</internalSpeakerSize><memory>1024</memory>"
               "<flash>1024</flash><flashRepartitioned>1</flashRepartitioned>"
               "<ampOnTime>10</ampOnTime><retailMode>0</retailMode>"
               "<serviceList>"
               "<service><serviceType>urn:schemas-upnp-org:service:AlarmClock:1</serviceType>"
               "<serviceId>urn:schemas-upnp-org:serviceId:AlarmClock</serviceId>"
               "<controlURL>/AlarmClock/Control</controlURL>"
               "<eventSubURL>/AlarmClock/Event</eventSubURL>"
               "<SCPDURL>/xml/AlarmClock1.xml</SCPDURL></service>"
               "<service><serviceType>%6</serviceType>"
               "<serviceId>urn:schemas-upnp-org:serviceId:ZoneGroupTopology</serviceId>"
               "<controlURL>/ZoneGroupTopology/Control</controlURL>"
               "<eventSubURL>/ZoneGroupTopology/Event</eventSubURL>"
               "<SCPDURL>/xml/ZoneGroupTopology1.xml</SCPDURL></service>"
               "</serviceList></device></root>\n")
        .arg(m_config.address.toString(), model, m_config.udn.toHtmlEscaped(), udn,
             m_config.roomName.toHtmlEscaped(), kZoneGroupTopologyType)
        .toUtf8();
}

QByteArray FakeSpeaker::topologyXml() const
{
    if (m_config.firmware == Config::Firmware::Current)
        return "<?xml version=\"1.0\" ?>\n"
               "<?xml-stylesheet type=\"text/xsl\" href=\"/xml/review.xsl\"?>"
               "<ZPSupportInfo></ZPSupportInfo>\n";
    return QStringLiteral("<?xml version=\"1.0\" ?>\n"
                          "<?xml-stylesheet type=\"text/xsl\" href=\"/xml/review.xsl\"?>"
                          "<ZPSupportInfo><ZonePlayers>"
                          "<ZonePlayer group=\"%1\" coordinator=\"%2\" wirelessmode=\"0\" "
                          "hasconfiguredssid=\"0\" channelfreq=\"2412\" behindwifiext=\"0\" "
                          "wifienabled=\"1\" orientation=\"0\" roomcalibrationstate=\"4\" "
                          "secureregstate=\"3\" voiceconfigstate=\"0\" micenabled=\"0\" "
                          "airplayenabled=\"0\" idleState=\"1\" moreInfo=\"\" uuid=\"%3\" "
                          "location=\"%4\" version=\"54.2-72160\" minCompatVer=\"54.0-00000\" "
                          "legacyCompatVer=\"25.0-00000\" mdnsfqdn=\"Sonos-48A6B8C0FFEE.local\" "
                          "bootseq=\"74\">%5</ZonePlayer>"
                          "</ZonePlayers></ZPSupportInfo>\n")
        .arg(group().toHtmlEscaped(),
             m_config.coordinator ? QStringLiteral("true") : QStringLiteral("false"),
             m_config.udn.toHtmlEscaped(), location().toString().toHtmlEscaped(),
             m_config.roomName.toHtmlEscaped())
        .toUtf8();
}

QByteArray FakeSpeaker::zoneGroupStateXml() const
{
    if (!m_config.zoneGroupState.isEmpty())
        return m_config.zoneGroupState;
    const QString coordinator =
        m_config.coordinator ? m_config.udn : QStringLiteral("RINCON_000E58AABBCC01400");
    return QStringLiteral(
               "<ZoneGroupState><ZoneGroups>"
               "<ZoneGroup Coordinator=\"%1\" ID=\"%2\">"
               "<ZoneGroupMember UUID=\"%3\" Location=\"%4\" ZoneName=\"%5\" "
               "Icon=\"\" Configuration=\"1\" SoftwareVersion=\"79.1-56030\" "
               "SWGen=\"2\" MinCompatibleVersion=\"78.0-00000\" "
               "LegacyCompatibleVersion=\"58.0-00000\" BootSeq=\"74\" TVConfigurationError=\"0\" "
               "HdmiCecAvailable=\"0\" WirelessMode=\"0\" WirelessLeafOnly=\"0\" "
               "ChannelFreq=\"2412\" BehindWifiExtender=\"0\" WifiEnabled=\"1\" "
               "EthLink=\"1\" Orientation=\"0\" RoomCalibrationState=\"4\" "
               "SecureRegState=\"3\" VoiceConfigState=\"0\" MicEnabled=\"0\" "
               "AirPlayEnabled=\"1\" IdleState=\"1\" MoreInfo=\"\" "
               "SSLPort=\"1443\" HHSSLPort=\"1843\"/>"
               "</ZoneGroup></ZoneGroups><VanishedDevices></VanishedDevices></ZoneGroupState>")
        .arg(coordinator.toHtmlEscaped(), group().toHtmlEscaped(), m_config.udn.toHtmlEscaped(),
             location().toString().toHtmlEscaped(), m_config.roomName.toHtmlEscaped())
        .toUtf8();
}

void FakeSpeaker::onConnection()
{
    while (QTcpSocket* socket = m_http->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRequestData(socket); });
    }
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
    if (end < 0) {
        socket->setProperty("buffer", buffer);
        return;
    }
    const QByteArray head = buffer.left(end);
    const qsizetype bodyLength = headerValue(head, "Content-Length").toLongLong();
    if (buffer.size() - end - 4 < bodyLength) {
        socket->setProperty("buffer", buffer);
        return;
    }
    socket->setProperty("answered", true);
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray method = requestLine.value(0);
    const QByteArray path = requestLine.value(1);
    const QString request = QString::fromLatin1(method + ' ' + path);
    m_requests.append(request);
    emit requestReceived(request);

    QTimer::singleShot(m_config.httpDelayMs, socket,
                       [this, socket, method, path, head] { respond(socket, method, path, head); });
}

void FakeSpeaker::respond(QTcpSocket* socket, const QByteArray& method, const QByteArray& path,
                          const QByteArray& headers)
{
    using Description = Config::Description;
    QByteArray answer;
    if (method == "GET" && path == "/xml/device_description.xml") {
        switch (m_config.description) {
        case Description::HtmlError:
            answer = httpResponse("500 Internal Server Error", "text/html",
                                  "<html><head><title>500 Internal Server Error</title></head>"
                                  "<body><h1>Internal Server Error</h1></body></html>");
            break;
        case Description::NotXml:
            answer = httpResponse("200 OK", "text/plain", "{\"error\": \"this is no XML\"}\n");
            break;
        case Description::Huge:
        case Description::HugeDeclared:
            streamHuge(socket, m_config.description == Description::HugeDeclared);
            return;
        default:
            answer = httpResponse("200 OK", "text/xml", descriptionXml());
        }
    } else if (method == "GET" && path == "/status/topology") {
        if (m_config.topology == Config::Topology::NoAnswer)
            return; // hold the connection until the client gives up
        if (m_config.topology == Config::Topology::NotFound)
            answer = httpResponse("404 Not Found", {}, {});
        else
            answer = httpResponse("200 OK", "text/xml", topologyXml());
    } else if (method == "POST" && path == "/ZoneGroupTopology/Control" &&
               headerValue(headers, "SOAPACTION").contains("#GetZoneGroupState")) {
        if (m_config.zoneGroupStateFails) {
            answer = httpResponse(
                "500 Internal Server Error", "text/xml; charset=\"utf-8\"",
                "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
                "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
                "<errorCode>401</errorCode></UPnPError></detail></s:Fault></s:Body></s:Envelope>");
        } else {
            const QByteArray escaped =
                QString::fromUtf8(zoneGroupStateXml()).toHtmlEscaped().toUtf8();
            answer = httpResponse(
                "200 OK", "text/xml; charset=\"utf-8\"",
                "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                "<u:GetZoneGroupStateResponse xmlns:u=\"urn:schemas-upnp-org:service:"
                "ZoneGroupTopology:1\"><ZoneGroupState>" +
                    escaped +
                    "</ZoneGroupState></u:GetZoneGroupStateResponse></s:Body></s:Envelope>");
        }
    } else {
        answer = httpResponse("404 Not Found", {}, {});
    }
    socket->write(answer);
    socket->disconnectFromHost();
}

void FakeSpeaker::streamHuge(QTcpSocket* socket, bool declared)
{
    QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";
    if (declared)
        head += "Content-Length: " + QByteArray::number(kHugeSize) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
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
