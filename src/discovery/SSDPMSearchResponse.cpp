#include "discovery/SSDPMSearchResponse.h"

QString SSDPMSearchResponse::description() const
{
    return QStringLiteral("SSDPMSearchResponse(location: %1, server: %2, st: %3, usn: %4)")
        .arg(location.toString(), server.value_or(QStringLiteral("nil")), searchTarget, usn);
}

namespace {

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
    std::optional<SSDPHeaderBlock> block = SSDPHeaderBlock::parse(datagram, reason);
    if (!block)
        return std::nullopt;
    if (!isStatusLineOk(block->startLine))
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("not an HTTP 200 answer"));

    SSDPMSearchResponse response;
    response.raw = std::move(*block);
    const auto location = response.header("LOCATION");
    const QUrl url = location ? QUrl(QString::fromUtf8(*location), QUrl::StrictMode) : QUrl();
    if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty())
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("no absolute http LOCATION"));
    const auto st = response.header("ST");
    if (!st || st->isEmpty())
        return SSDPHeaderBlock::refuse(reason, QStringLiteral("no ST header"));

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
