#pragma once

namespace korvel {

// `korvel-companion` without a window: runs the engine until SIGINT or
// SIGTERM. On a terminal it says where the snapshot goes and prints one status
// line per refresh; in the background it prints nothing.
int runHeadlessEngine();

} // namespace korvel
