#pragma once

namespace Corvane {

// True while the user has turned the bridge off from the status menu; a
// finished search then does not start the bridge. Main thread only.
inline bool bridgeStopped = false;

} // namespace Corvane
