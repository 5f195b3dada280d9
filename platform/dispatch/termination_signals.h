#pragma once

#include <functional>

namespace korvel::platform {

// Runs handler on the main loop when SIGINT or SIGTERM arrives, instead of
// the default of dying mid-write. Call on the main thread before running the loop.
void onTerminationSignal(std::function<void()> handler);

// The same, and for SIGHUP and SIGQUIT too: for a program that has taken the
// terminal over, whose every way out must give the terminal back.
void onAnyTerminationSignal(std::function<void()> handler);

} // namespace korvel::platform
