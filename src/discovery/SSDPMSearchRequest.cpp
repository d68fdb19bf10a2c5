#include "discovery/SSDPMSearchRequest.h"

#include "Version.h"

#include <algorithm>

QByteArray SSDPMSearchRequest::datagram(const QString& host, quint16 port) const
{
    const int mx = std::clamp(maximumWaitResponseTime, 1, 5);
    QByteArray text;
    text += "M-SEARCH * HTTP/1.1\r\n";
    text += "HOST: " + host.toLatin1() + ':' + QByteArray::number(port) + "\r\n";
    text += "MAN: \"ssdp:discover\"\r\n";
    text += "MX: " + QByteArray::number(mx) + "\r\n";
    text += "ST: " + searchTarget.toString().toUtf8() + "\r\n";
    text += QByteArray("USER-AGENT: Linux UPnP/1.1 Corvane/") + corvane::kVersion + "\r\n";
    for (const auto& [name, value] : extraHeaders) {
        // A header must not smuggle in further lines.
        if (name.contains('\r') || name.contains('\n') || value.contains('\r') ||
            value.contains('\n'))
            continue;
        text += name + ": " + value + "\r\n";
    }
    text += "\r\n";
    return text;
}
