#include "discovery/SSDPNotifyMessage.h"

#include <QList>
#include <QPair>

#include <cstring>

namespace {

constexpr int kMaxHeaders = 64;
// UDNs are some tens of characters; a longer one only costs memory in the dedupe table.
constexpr qsizetype kMaxUdnLength = 128;

std::nullopt_t refuse(QString* reason, const QString& text)
{
    if (reason)
        *reason = text;
    return std::nullopt;
}

// RFC 9110 token characters, the only ones a header name may hold.
bool isToken(const QByteArray& name)
{
    static constexpr char kSeparators[] = "!#$%&'*+-.^_`|~";
    if (name.isEmpty())
        return false;
    for (const char c : name) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && !std::strchr(kSeparators, c))
            return false;
    }
    return true;
}

// Printable ASCII without spaces: what a UDN is made of.
bool isPlainText(const QByteArray& text)
{
    for (const char c : text) {
        if (c <= ' ' || c > '~')
            return false;
    }
    return !text.isEmpty();
}

} // namespace

std::optional<SSDPNotifyMessage> SSDPNotifyMessage::parse(const QByteArray& datagram,
                                                          QString* reason)
{
    if (datagram.size() > kMaxDatagramSize)
        return refuse(reason,
                      QStringLiteral("datagram of %1 bytes is too large").arg(datagram.size()));
    if (datagram.contains('\0'))
        return refuse(reason, QStringLiteral("datagram holds a NUL byte"));

    QList<QByteArray> lines = datagram.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QList<QByteArray> request = lines.first().simplified().split(' ');
    if (request.size() != 3 || request[0] != "NOTIFY" || request[1] != "*" ||
        !request[2].toUpper().startsWith("HTTP/1."))
        return refuse(reason, QStringLiteral("not a NOTIFY request"));

    QList<QPair<QByteArray, QByteArray>> headers;
    for (qsizetype i = 1; i < lines.size() && !lines[i].isEmpty(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        const QByteArray name = colon > 0 ? lines[i].left(colon).trimmed() : QByteArray();
        if (!isToken(name))
            continue; // not a header line; the rest may still be usable
        if (headers.size() == kMaxHeaders)
            return refuse(reason, QStringLiteral("more than %1 header lines").arg(kMaxHeaders));
        headers.append({name, lines[i].mid(colon + 1).trimmed()});
    }
    auto header = [&headers](const char* name) -> QByteArray {
        for (const auto& [key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    };

    SSDPNotifyMessage message;
    const QByteArray nts = header("NTS");
    if (nts == "ssdp:alive")
        message.kind = Kind::Alive;
    else if (nts == "ssdp:update")
        message.kind = Kind::Update;
    else if (nts == "ssdp:byebye")
        message.kind = Kind::ByeBye;
    else
        return refuse(reason, QStringLiteral("unknown NTS"));

    const QByteArray nt = header("NT");
    if (nt.isEmpty())
        return refuse(reason, QStringLiteral("no NT header"));
    message.notificationType = QString::fromUtf8(nt);

    const QByteArray usn = header("USN");
    const QByteArray udn = usn.startsWith("uuid:") ? usn.mid(5).split(':').first() : QByteArray();
    if (!isPlainText(udn) || udn.size() > kMaxUdnLength)
        return refuse(reason, QStringLiteral("no uuid: USN"));
    message.usn = QString::fromUtf8(usn);
    message.udn = QString::fromLatin1(udn);

    if (message.kind == Kind::ByeBye)
        return message;
    const QUrl url(QString::fromUtf8(header("LOCATION")), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty())
        return refuse(reason, QStringLiteral("no absolute http LOCATION"));
    message.location = url;
    return message;
}
