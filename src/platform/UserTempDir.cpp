#include "platform/UserTempDir.h"

#include "platform/SystemError.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace UserTempDir {
namespace {

const QString kFolderName = QStringLiteral("corvane");

using SystemError::errnoText;
using SystemError::fail;

} // namespace

QString ensurePrivateFolder(const QString& base, QString* error)
{
    if (base.isEmpty()) {
        fail(error, QStringLiteral("no base folder"));
        return {};
    }
    const QString folder = base + QLatin1Char('/') + kFolderName;
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        fail(error, QStringLiteral("cannot create %1: %2").arg(folder, errnoText()));
        return {};
    }
    // lstat, not stat: a symbolic link planted under our name is refused.
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0) {
        fail(error, QStringLiteral("cannot inspect %1: %2").arg(folder, errnoText()));
        return {};
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        fail(error, QStringLiteral("%1 is not a folder of this user").arg(folder));
        return {};
    }
    if ((info.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        fail(error, QStringLiteral("cannot make %1 private: %2").arg(folder, errnoText()));
        return {};
    }
    return folder;
}

QString path(QString* error)
{
    QString runtimeError;
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    // Checked on every call: the runtime directory may be cleaned while we run.
    const QString folder = ensurePrivateFolder(runtime, &runtimeError);
    if (!folder.isEmpty())
        return folder;

    // Kept for the life of the process and removed at exit.
    static std::unique_ptr<QTemporaryDir> fallback;
    if (!fallback || !fallback->isValid() || !QDir(fallback->path()).exists())
        fallback =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvane-XXXXXX"));
    if (!fallback->isValid()) {
        fail(error, QStringLiteral("%1; no private temporary folder either: %2")
                        .arg(runtimeError, fallback->errorString()));
        return {};
    }
    return fallback->path();
}

} // namespace UserTempDir
