#include "platform/SaveFile.h"

#include "platform/SystemError.h"

#include <QSaveFile>

bool saveAtomically(const QString& path, const QByteArray& bytes, bool ownerOnly, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return SystemError::fail(error, file.errorString());
    if (ownerOnly)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // flush() first: Qt 6.4's commit() reports success when its own flush fails (disk full).
    if (file.write(bytes) != bytes.size() || !file.flush() || !file.commit())
        return SystemError::fail(error, file.errorString());
    return true;
}
