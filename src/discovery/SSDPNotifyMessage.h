#pragma once

#include "discovery/SSDPHeaderBlock.h"

#include <QString>
#include <QUrl>

#include <optional>

// One SSDP NOTIFY announcement (ssdp:alive, ssdp:update or ssdp:byebye), as received.
struct SSDPNotifyMessage {
    enum class Kind { Alive, Update, ByeBye };

    Kind kind = Kind::Alive;
    QString notificationType; // NT
    QString usn;
    // The device's UDN without "uuid:", taken from the USN ("uuid:<udn>::<type>").
    QString udn;
    // Absolute http URL; empty for ssdp:byebye, which carries none.
    QUrl location;

    static constexpr qsizetype kMaxDatagramSize = SSDPHeaderBlock::kMaxDatagramSize;

    // Reads one untrusted datagram: a "NOTIFY * HTTP/1.1" request line, header
    // lines ended by CRLF or bare LF, names matched case-insensitively. Refused
    // (with *reason) without NT, a known NTS, a "uuid:" USN, or, unless it is a
    // byebye, an absolute http LOCATION.
    static std::optional<SSDPNotifyMessage> parse(const QByteArray& datagram,
                                                  QString* reason = nullptr);
};
