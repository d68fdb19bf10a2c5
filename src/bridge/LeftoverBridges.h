#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>

#include <sys/types.h>

// Bridges left running by an earlier run of Corvane, found by exact identity
// rather than by name, so a bridge the user runs by hand is never touched.
namespace LeftoverBridges {

// Processes of this user that run bridgePath (directly, or as a script under
// an interpreter) with exactly these arguments at the end of their command
// line. Processes in exclude, our own current children, are skipped.
QList<pid_t> find(const QString& bridgePath, const QStringList& arguments,
                  const QList<pid_t>& exclude = {});

// Sends SIGTERM to each, waits up to wait for them to end, then sends
// SIGKILL to the rest. Blocks; answers the processes that had to be killed.
QList<pid_t> end(const QList<pid_t>& pids, std::chrono::milliseconds wait);

// No such process any more, or only its zombie awaiting its parent.
bool isGone(pid_t pid);

} // namespace LeftoverBridges
