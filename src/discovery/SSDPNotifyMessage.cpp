#include "discovery/SSDPNotifyMessage.h"

#include <QList>

namespace {

// UDNs are some tens of characters; a longer one only costs memory in the dedupe table.
constexpr qsizetype kMaxUdnLength = 128;

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
    std::optional<SSDPHeaderBlock> block = SSDPHeaderBlock::parse(datagram, reason);
    if (!block)
        return std::nullopt;
    const QList<QByteArray> request = block->startLine.simplified().split(' ');
    if (request.size() != 3 || request[0] != "NOTIFY" || request[1] != "*" ||
        !request[2].toUpper().startsWith("HTTP/1."))
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("not a NOTIFY request"));
    auto header = [&block](const char* name) {
        return block->header(name).value_or(QByteArray());
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
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("unknown NTS"));

    const QByteArray nt = header("NT");
    if (nt.isEmpty())
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("no NT header"));
    message.notificationType = QString::fromUtf8(nt);

    const QByteArray usn = header("USN");
    const QByteArray udn = usn.startsWith("uuid:") ? usn.mid(5).split(':').first() : QByteArray();
    if (!isPlainText(udn) || udn.size() > kMaxUdnLength)
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("no uuid: USN"));
    message.usn = QString::fromUtf8(usn);
    message.udn = QString::fromLatin1(udn);

    if (message.kind == Kind::ByeBye)
        return message;
    const QUrl url(QString::fromUtf8(header("LOCATION")), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty())
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("no absolute http LOCATION"));
    message.location = url;
    return message;
}
