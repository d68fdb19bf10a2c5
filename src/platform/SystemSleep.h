#pragma once

#include <QtGlobal>

#include <optional>

class SleepInhibitor;

// Keeps the machine from suspending on idle while the bridge runs: one
// inhibitor taken on "serviceStarted", given back on "serviceTerminated".
// Process-wide state, main thread only.
//
// The bus answers later, so a creation is on record from preventSleep() on;
// its result (and its log line) arrives from the event loop. An allowSleep()
// before then is carried out once the result is in, so every take is logged
// before its release.
class SystemSleep {
public:
    SystemSleep() = delete;

    // Takes the inhibitor unless a creation is on record.
    static void preventSleep();
    // Gives the inhibitor back if a creation is on record.
    static void allowSleep();

    // The granting service's cookie (or descriptor); 0 when none is held.
    static quint32 assertionID();
    // 0 granted, -1 failed; absent while no creation is on record or while
    // the answer is still awaited.
    static std::optional<qint32> creationResult();
    // A creation is on record (pending or answered).
    static bool isCreationOnRecord();

    // Replaces the inhibitor (not owned; null restores the default) and
    // starts from the initial state. For tests.
    static void setInhibitor(SleepInhibitor* inhibitor);
};
