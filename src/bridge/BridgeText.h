#pragma once

#include <QString>

// What the bridge can take in its configuration. It reads the file as XML 1.0
// and, failing that, falls back to its defaults and bridges everything; it
// copies each name into a fixed buffer and cuts AirPlay names byte-wise.
namespace BridgeText {

// Names longer than this in UTF-8 are cut by the bridge inside a character.
constexpr qsizetype kMaxNameBytes = 50;

qsizetype utf8Size(QStringView text);

// text without what XML 1.0 forbids in a document: controls other than tab,
// LF and CR (NUL included), U+FFFE, U+FFFF and lone surrogates.
QString withoutForbidden(const QString& text);

// The longest start of text of at most maxBytes UTF-8 bytes that ends on a
// grapheme boundary, so no character and no combined character is split.
QString cutToUtf8Bytes(const QString& text, qsizetype maxBytes);

// A speaker name as the configuration carries it.
QString configName(const QString& name);

} // namespace BridgeText
