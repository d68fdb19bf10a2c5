#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <pugixml.hpp>

#include <optional>

// The conversions speaker documents are read with. Texts are taken as the
// parser delivers them, never trimmed.
namespace XmlText {

// Parses untrusted bytes: no DTD, only the predefined entities, and an element
// holding only white space keeps that white space as its text.
pugi::xml_parse_result parse(pugi::xml_document& document, const QByteArray& bytes);

QString text(const pugi::xml_node& element);
std::optional<QString> childText(const pugi::xml_node& parent, const char* name);

// Optional sign and ASCII digits making up the whole text, in the 64-bit range.
std::optional<qint64> toInteger(const QString& text);
// C-locale conversion (leading white space allowed) that consumes the whole
// text; not-a-number and infinities count as absent.
std::optional<float> toFloat(const QString& text);
// A valid URL on its own, absolute or relative.
std::optional<QUrl> toUrl(const QString& text);
// "true"/"1" and "false"/"0"; anything else is not a boolean.
std::optional<bool> toBool(const char* text);

} // namespace XmlText
