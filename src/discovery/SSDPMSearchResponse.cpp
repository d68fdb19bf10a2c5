#include "discovery/SSDPMSearchResponse.h"

#include <cstring>

std::optional<QByteArray> SSDPMSearchResponse::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

QString SSDPMSearchResponse::description() const
{
    return QStringLiteral("SSDPMSearchResponse(location: %1, server: %2, st: %3, usn: %4)")
        .arg(location.toString(), server.value_or(QStringLiteral("nil")), searchTarget, usn);
}

namespace {

constexpr int kMaxHeaders = 64;

bool refuse(QString* reason, const QString& text)
{
    if (reason)
        *reason = text;
    return false;
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

bool isStatusLineOk(const QByteArray& line)
{
    // "HTTP/1.1 200 OK"; older stacks write HTTP/1.0, and the reason text varies.
    const QList<QByteArray> parts = line.simplified().split(' ');
    return parts.size() >= 2 && parts[0].toUpper().startsWith("HTTP/1.") && parts[1] == "200";
}

std::optional<qint64> maxAgeOf(const QByteArray& cacheControl)
{
    for (const QByteArray& directive : cacheControl.split(',')) {
        const QByteArray trimmed = directive.trimmed();
        const qsizetype equals = trimmed.indexOf('=');
        if (equals < 0 || trimmed.left(equals).trimmed().toLower() != "max-age")
            continue;
        const QByteArray digits = trimmed.mid(equals + 1).trimmed();
        if (digits.isEmpty() || digits.size() > 12)
            return std::nullopt;
        for (const char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
        }
        return digits.toLongLong();
    }
    return std::nullopt;
}

} // namespace

std::optional<SSDPMSearchResponse> SSDPMSearchResponse::parse(const QByteArray& datagram,
                                                              QString* reason)
{
    if (datagram.size() > kMaxDatagramSize) {
        refuse(reason, QStringLiteral("datagram of %1 bytes is too large").arg(datagram.size()));
        return std::nullopt;
    }
    if (datagram.contains('\0')) {
        refuse(reason, QStringLiteral("datagram holds a NUL byte"));
        return std::nullopt;
    }

    QList<QByteArray> lines = datagram.split('\n');
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (lines.isEmpty() || !isStatusLineOk(lines.first())) {
        refuse(reason, QStringLiteral("not an HTTP 200 answer"));
        return std::nullopt;
    }

    SSDPMSearchResponse response;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (line.isEmpty())
            break; // end of the header block; SSDP answers carry no body
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue; // not a header line; the rest may still be usable
        const QByteArray name = line.left(colon).trimmed();
        if (!isToken(name))
            continue;
        if (response.headers.size() == kMaxHeaders) {
            refuse(reason, QStringLiteral("more than %1 header lines").arg(kMaxHeaders));
            return std::nullopt;
        }
        response.headers.append({name, line.mid(colon + 1).trimmed()});
    }

    const auto location = response.header("LOCATION");
    const QUrl url = location ? QUrl(QString::fromUtf8(*location), QUrl::StrictMode) : QUrl();
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty()) {
        refuse(reason, QStringLiteral("no absolute http LOCATION"));
        return std::nullopt;
    }
    const auto st = response.header("ST");
    if (!st || st->isEmpty()) {
        refuse(reason, QStringLiteral("no ST header"));
        return std::nullopt;
    }

    response.location = url;
    response.searchTarget = QString::fromUtf8(*st);
    if (const auto server = response.header("SERVER"))
        response.server = QString::fromUtf8(*server);
    if (const auto usn = response.header("USN"))
        response.usn = QString::fromUtf8(*usn);
    if (const auto cacheControl = response.header("CACHE-CONTROL"))
        response.maxAge = maxAgeOf(*cacheControl);
    return response;
}
