#pragma once

#include <QByteArray>
#include <QString>

// Writes bytes to path through a temporary file renamed into place, so a
// reader sees the old file or the new one, never part of one. With ownerOnly
// the temporary file is private before anything is written. False, with the
// reason in error, when any step fails, a full disk included.
bool saveAtomically(const QString& path, const QByteArray& bytes, bool ownerOnly,
                    QString* error = nullptr);
