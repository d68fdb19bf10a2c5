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
};

Q_DECLARE_METATYPE(SSDPMSearchResponse)
