#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
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
    // Every header in the order received; names as sent.
    QList<QPair<QByteArray, QByteArray>> headers;

    // Case-insensitive header lookup.
    std::optional<QByteArray> header(const QByteArray& name) const;
    // Text form for log lines.
    QString description() const;

    // Largest datagram worth reading; real answers are a few hundred bytes.
    static constexpr qsizetype kMaxDatagramSize = 8192;

    // Reads one untrusted datagram: an "HTTP/1.1 200 OK" status line, header
    // lines ended by CRLF or bare LF, names matched case-insensitively. An answer
    // without ST or without an absolute http LOCATION is refused; *reason then
    // says why.
    static std::optional<SSDPMSearchResponse> parse(const QByteArray& datagram,
                                                    QString* reason = nullptr);
};

Q_DECLARE_METATYPE(SSDPMSearchResponse)
