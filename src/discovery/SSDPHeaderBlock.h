#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// The start line and header lines of one untrusted SSDP datagram (HTTP over
// UDP), read with the bounds that answers and announcements share.
struct SSDPHeaderBlock {
    QByteArray startLine;
    // Every header in the order received; names as sent.
    QList<QPair<QByteArray, QByteArray>> headers;

    // Case-insensitive lookup; the first of repeated headers.
    std::optional<QByteArray> header(QByteArrayView name) const;

    // Largest datagram worth reading; real ones are a few hundred bytes.
    static constexpr qsizetype kMaxDatagramSize = 8192;
    static constexpr int kMaxHeaders = 64;

    // Lines end in CRLF or bare LF, and the block at the first empty line;
    // a line that is not "token: value" is skipped. Refused (with *reason)
    // when too large, holding a NUL byte, or with too many header lines.
    static std::optional<SSDPHeaderBlock> parse(const QByteArray& datagram, QString* reason);

    // A parser's refusal: says why in *reason, when asked.
    static std::nullopt_t refuse(QString* reason, const QString& text)
    {
        if (reason)
            *reason = text;
        return std::nullopt;
    }
};
