#pragma once

#include <QString>

#include <cerrno>
#include <cstring>

// Small helpers for functions that answer false and describe why.
namespace SystemError {

// The text of the last failed system call.
inline QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Stores message in error (when asked for) and answers false.
inline bool fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return false;
}

} // namespace SystemError
