#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QUrl>

#include <optional>

// Strict reading and writing of optional members: a missing member or a null
// reads as absent; a member of the wrong type fails the whole record.
namespace JsonFields {

bool read(const QJsonObject& object, const QString& key, std::optional<QString>& out,
          QString* error);
bool read(const QJsonObject& object, const QString& key, std::optional<qint64>& out,
          QString* error);
bool read(const QJsonObject& object, const QString& key, std::optional<float>& out, QString* error);
bool read(const QJsonObject& object, const QString& key, std::optional<QUrl>& out, QString* error);

// A valid URL written as text; used for required members too.
std::optional<QUrl> urlFromJson(const QJsonValue& value);
// The text a URL is stored as, which urlFromJson reads back to an equal URL.
QString urlToJson(const QUrl& url);

template <typename T>
void write(QJsonObject& object, const QString& key, const std::optional<T>& value)
{
    if (!value)
        return;
    if constexpr (std::is_same_v<T, QUrl>)
        object.insert(key, urlToJson(*value));
    else if constexpr (std::is_same_v<T, float>)
        object.insert(key, double(*value));
    else
        object.insert(key, *value);
}

bool fail(QString* error, const QString& message);

} // namespace JsonFields
