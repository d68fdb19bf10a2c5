#include "bridge/BridgeText.h"

#include <QTextBoundaryFinder>

namespace BridgeText {

qsizetype utf8Size(QStringView text)
{
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x80) {
            bytes += 1;
        } else if (c < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
                   QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else if (QChar::isSurrogate(c))
            bytes += 1; // QString::toUtf8 writes a lone surrogate as '?'
        else
            bytes += 3;
    }
    return bytes;
}

QString withoutForbidden(const QString& text)
{
    QString allowed;
    allowed.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode())) {
            allowed += text[i];
            allowed += text[++i];
            continue;
        }
        const bool control = c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r';
        if (!control && !QChar::isSurrogate(c) && c != 0xFFFE && c != 0xFFFF)
            allowed += text[i];
    }
    return allowed;
}

QString cutToUtf8Bytes(const QString& text, qsizetype maxBytes)
{
    if (utf8Size(text) <= maxBytes)
        return text;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype kept = 0;
    qsizetype bytes = 0;
    for (qsizetype next = graphemes.toNextBoundary(); next > kept;
         next = graphemes.toNextBoundary()) {
        // Qt 6.4 reports a boundary inside a surrogate pair after some Indic
        // letters; a character is never split.
        if (next < text.size() && text[next - 1].isHighSurrogate() && text[next].isLowSurrogate())
            continue;
        bytes += utf8Size(QStringView(text).mid(kept, next - kept));
        if (bytes > maxBytes)
            break;
        kept = next;
    }
    return text.left(kept);
}

QString configName(const QString& name)
{
    return cutToUtf8Bytes(withoutForbidden(name), kMaxNameBytes);
}

} // namespace BridgeText
