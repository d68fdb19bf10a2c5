#include "discovery/SSDPMSearchResponse.h"

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
