#pragma once

#include <QString>

class SessionBus;

// The two programs' places relative to each other, and Corvane's side of the
// login helper. The installed layout is
//   <prefix>/bin/corvane
//   <prefix>/libexec/corvane/corvane-helper
// and the build tree's stage/ folder mirrors it.
namespace Launcher {

// Drops the last three components of the helper's path and appends "bin" and
// "corvane"; a path too short for that ends at the root.
QString mainProgramPath(const QString& helperPath);

// The reverse: the helper beside a main program at <prefix>/bin/corvane.
QString helperProgramPath(const QString& mainProgramPath);

// When the login helper owns its name on the session bus, logs
// "Stopping launcher app" and broadcasts KillLauncher with Corvane's
// identifier. Does not wait for the helper to quit. Corvane must own its own
// name first: the helper ignores KillLauncher from anyone else. Returns
// whether the signal was sent.
bool stopLauncherIfRunning(const SessionBus& bus);

} // namespace Launcher
