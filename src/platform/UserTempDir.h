#pragma once

#include <QString>

// The user's private temporary folder: corvane/ in the per-user runtime
// directory, mode 0700, owned by us; a private QTemporaryDir when there is no
// usable runtime directory. Never a fixed name in the shared /tmp.
namespace UserTempDir {

// The folder, made (again) if needed; empty with error set on failure.
QString path(QString* error = nullptr);

// The same check on a given base folder: base/corvane, created 0700 when
// missing. Answers empty when it is not a private folder of this user.
QString ensurePrivateFolder(const QString& base, QString* error = nullptr);

} // namespace UserTempDir
