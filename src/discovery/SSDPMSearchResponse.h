#pragma once

#include "discovery/SSDPHeaderBlock.h"

#include <QMetaType>
#include <QString>
#include <QUrl>

#include <optional>

// One unicast answer to an M-SEARCH, as received.
struct SSDPMSearchResponse {
    QUrl location;
    std::optional<QString> server;
    QString searchTarget; // ST
    QString usn;
    std::optional<qint64> maxAge; // from CACHE-CONTROL
    // The status line and every header as received.
    SSDPHeaderBlock raw;

    // Case-insensitive header lookup.
    std::optional<QByteArray> header(QByteArrayView name) const { return raw.header(name); }
    // Text form for log lines.
    QString description() const;

    static constexpr qsizetype kMaxDatagramSize = SSDPHeaderBlock::kMaxDatagramSize;

    // Reads one untrusted datagram: an "HTTP/1.1 200 OK" status line, header
    // lines ended by CRLF or bare LF, names matched case-insensitively. An answer
    // without ST or without an absolute http LOCATION is refused; *reason then
    // says why.
    static std::optional<SSDPMSearchResponse> parse(const QByteArray& datagram,
                                                    QString* reason = nullptr);
};

Q_DECLARE_METATYPE(SSDPMSearchResponse)
