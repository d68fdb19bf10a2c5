#pragma once

#include <QString>

// Why a fetch or a discovery pipeline failed: a domain, a code (-1 for the
// errors discovery makes itself) and, for transport errors, the client's text.
struct FetchError {
    QString domain;
    qint64 code = -1;
    QString text;

    static FetchError make(const QString& domain) { return {domain, -1, {}}; }

    // "Error Domain=<domain> Code=<code>" plus the text in quotes when there is one.
    QString description() const
    {
        QString form = QStringLiteral("Error Domain=%1 Code=%2").arg(domain).arg(code);
        if (!text.isEmpty())
            form += QStringLiteral(" \"%1\"").arg(text);
        return form;
    }
};
