#include "model/JsonFields.h"

#include <cmath>
#include <limits>

namespace JsonFields {

bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

namespace {

bool wrongType(QString* error, const QString& key, const char* expected)
{
    return fail(error, QStringLiteral("\"%1\" is not %2").arg(key, QLatin1String(expected)));
}

} // namespace

bool read(const QJsonObject& object, const QString& key, std::optional<QString>& out,
          QString* error)
{
    const QJsonValue value = object.value(key);
    out.reset();
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return wrongType(error, key, "a string");
    out = value.toString();
    return true;
}

bool read(const QJsonObject& object, const QString& key, std::optional<qint64>& out, QString* error)
{
    const QJsonValue value = object.value(key);
    out.reset();
    if (value.isUndefined() || value.isNull())
        return true;
    // toInteger answers its default unless the number is whole and fits 64 bits.
    if (!value.isDouble() || (value.toInteger(0) == 0 && value.toInteger(1) == 1))
        return wrongType(error, key, "a 64-bit integer");
    out = value.toInteger();
    return true;
}

bool read(const QJsonObject& object, const QString& key, std::optional<float>& out, QString* error)
{
    const QJsonValue value = object.value(key);
    out.reset();
    if (value.isUndefined() || value.isNull())
        return true;
    const double number = value.toDouble();
    if (!value.isDouble() || !std::isfinite(number) ||
        std::fabs(number) > double(std::numeric_limits<float>::max()))
        return wrongType(error, key, "a 32-bit float");
    out = float(number);
    return true;
}

std::optional<QUrl> urlFromJson(const QJsonValue& value)
{
    if (!value.isString() || value.toString().isEmpty())
        return std::nullopt;
    const QUrl url(value.toString(), QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QString urlToJson(const QUrl& url)
{
    // Fully encoded, a '#' inside the fragment comes back as "%23", which QUrl
    // keeps apart from '#'; delimiters are therefore left as they are held.
    return url.toString(QUrl::EncodeSpaces | QUrl::EncodeUnicode | QUrl::EncodeReserved);
}

bool read(const QJsonObject& object, const QString& key, std::optional<QUrl>& out, QString* error)
{
    const QJsonValue value = object.value(key);
    out.reset();
    if (value.isUndefined() || value.isNull())
        return true;
    out = urlFromJson(value);
    if (!out)
        return wrongType(error, key, "a URL");
    return true;
}

} // namespace JsonFields
