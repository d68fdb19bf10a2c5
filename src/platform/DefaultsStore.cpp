#include "platform/DefaultsStore.h"

#include "platform/SaveFile.h"
#include "platform/SystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

using SystemError::errnoText;
using SystemError::fail;

} // namespace

DefaultsStore& DefaultsStore::standard()
{
    static DefaultsStore store(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    return store;
}

DefaultsStore::DefaultsStore(QString directory) : m_directory(std::move(directory)) {}

QString DefaultsStore::path(const QString& key) const
{
    return m_directory + QLatin1Char('/') + key + QStringLiteral(".json");
}

std::optional<QByteArray> DefaultsStore::value(const QString& key, QString* error) const
{
    if (error)
        error->clear();
    QFile file(path(key));
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
        return std::nullopt;
    }
    // The file may not be ours to trust: refuse one that would not fit sensibly
    // in memory, and hold no more than it has.
    const qint64 size = file.size();
    if (size > maxValueSize) {
        fail(error,
             QStringLiteral("%1 is larger than %2 bytes").arg(file.fileName()).arg(maxValueSize));
        return std::nullopt;
    }
    QByteArray data;
    data.reserve(size);
    // Read to the end, not to the size: the file may change meanwhile, and
    // some (in /proc, say) report no size at all.
    char chunk[16 * 1024];
    for (;;) {
        const qint64 room = maxValueSize + 1 - data.size();
        const qint64 got = file.read(chunk, std::min<qint64>(sizeof chunk, room));
        if (got < 0) {
            fail(error,
                 QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString()));
            return std::nullopt;
        }
        if (got == 0)
            break;
        data.append(chunk, got);
        if (data.size() > maxValueSize) {
            fail(error, QStringLiteral("%1 is larger than %2 bytes")
                            .arg(file.fileName())
                            .arg(maxValueSize));
            return std::nullopt;
        }
    }
    return data;
}

bool DefaultsStore::setValue(const QString& key, const QByteArray& value, QString* error)
{
    if (!QDir(m_directory).exists()) {
        if (!QDir().mkpath(m_directory))
            return fail(error, QStringLiteral("cannot create the folder %1").arg(m_directory));
        QFile::setPermissions(m_directory, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner);
    }
    // Private from the first byte: the value is never readable by others, not even briefly.
    QString reason;
    if (!saveAtomically(path(key), value, true, &reason))
        return fail(error, QStringLiteral("cannot write %1: %2").arg(path(key), reason));
    return true;
}

std::optional<QString> DefaultsStore::keepAside(const QString& key, const QString& suffix,
                                                QString* error)
{
    const QString from = path(key);
    const QString to = from + suffix;
    // rename(2) replaces an older file of that name in one step; QFile::rename would refuse.
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        fail(error, QStringLiteral("cannot rename %1 to %2: %3").arg(from, to, errnoText()));
        return std::nullopt;
    }
    return to;
}

bool DefaultsStore::remove(const QString& key, QString* error)
{
    QFile file(path(key));
    if (file.exists() && !file.remove())
        return fail(
            error, QStringLiteral("cannot remove %1: %2").arg(file.fileName(), file.errorString()));
    return true;
}
