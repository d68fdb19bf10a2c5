#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The per-user key-value store: the value under key K is the file K.json in
// the application's config folder, replaced atomically and readable by the
// user alone.
class DefaultsStore {
public:
    // Stored values larger than this are refused rather than read into memory.
    static constexpr qint64 maxValueSize = 32 * 1024 * 1024;

    // The store in QStandardPaths::AppConfigLocation.
    static DefaultsStore& standard();

    // A store on the given folder; tests pass a temporary one.
    explicit DefaultsStore(QString directory);

    QString directory() const { return m_directory; }
    QString path(const QString& key) const;

    // std::nullopt with error left empty when there is no value; std::nullopt
    // with error set when a value exists but cannot be read.
    std::optional<QByteArray> value(const QString& key, QString* error = nullptr) const;

    // Replaces the value; on failure the earlier value stays as it was.
    bool setValue(const QString& key, const QByteArray& value, QString* error = nullptr);

    // Moves the value aside to K.json<suffix>, replacing an older file of that
    // name, and answers the new path. The key has no value afterwards.
    std::optional<QString> keepAside(const QString& key, const QString& suffix,
                                     QString* error = nullptr);

    bool remove(const QString& key, QString* error = nullptr);

private:
    QString m_directory;
};
