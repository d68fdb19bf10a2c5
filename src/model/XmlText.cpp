#include "model/XmlText.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace XmlText {

pugi::xml_parse_result parse(pugi::xml_document& document, const QByteArray& bytes)
{
    constexpr unsigned options = pugi::parse_default | pugi::parse_ws_pcdata_single;
    return document.load_buffer(bytes.constData(), size_t(bytes.size()), options);
}

QString text(const pugi::xml_node& element)
{
    return QString::fromUtf8(element.text().get());
}

std::optional<QString> childText(const pugi::xml_node& parent, const char* name)
{
    const pugi::xml_node child = parent.child(name);
    if (!child)
        return std::nullopt;
    return text(child);
}

std::optional<qint64> toInteger(const QString& text)
{
    qsizetype i = 0;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        ++i;
    if (i == text.size())
        return std::nullopt;
    for (qsizetype j = i; j < text.size(); ++j) {
        const char16_t c = text[j].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

std::optional<float> toFloat(const QString& text)
{
    // The process locale may use a decimal comma; the documents never do.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    const QByteArray utf8 = text.toUtf8();
    if (utf8.isEmpty() || std::strlen(utf8.constData()) != size_t(utf8.size()))
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const float value = strtof_l(utf8.constData(), &end, cLocale);
    if (end == utf8.constData() || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<QUrl> toUrl(const QString& text)
{
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<bool> toBool(const char* text)
{
    if (!text)
        return std::nullopt;
    if (std::strcmp(text, "true") == 0 || std::strcmp(text, "1") == 0)
        return true;
    if (std::strcmp(text, "false") == 0 || std::strcmp(text, "0") == 0)
        return false;
    return std::nullopt;
}

} // namespace XmlText
