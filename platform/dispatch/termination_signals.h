#pragma once

#include <functional>

namespace korvel::platform {

// Runs handler on the main loop when SIGINT or SIGTERM arrives, instead of
// the default of dying mid-write. Call on the main thread before running the loop.
void onTerminationSignal(std::function<void()> handler);

} // namespace korvel::platform
