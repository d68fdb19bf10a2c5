#include "discovery/SSDPHeaderBlock.h"

#include <cstring>

namespace {

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

} // namespace

std::optional<QByteArray> SSDPHeaderBlock::header(QByteArrayView name) const
{
    for (const auto& [key, value] : headers) {
        if (name.compare(key, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

std::optional<SSDPHeaderBlock> SSDPHeaderBlock::parse(const QByteArray& datagram, QString* reason)
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
    SSDPHeaderBlock block;
    block.startLine = lines.first();
    for (qsizetype i = 1; i < lines.size() && !lines[i].isEmpty(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        const QByteArray name = colon > 0 ? lines[i].left(colon).trimmed() : QByteArray();
        if (!isToken(name))
            continue; // not a header line; the rest may still be usable
        if (block.headers.size() == kMaxHeaders)
            return refuse(reason, QStringLiteral("more than %1 header lines").arg(kMaxHeaders));
        block.headers.append({name, lines[i].mid(colon + 1).trimmed()});
    }
    return block;
}
