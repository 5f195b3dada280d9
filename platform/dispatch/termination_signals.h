#pragma once

#include <functional>

namespace korvel::platform {

// Runs handler on the main loop when SIGINT or SIGTERM arrives, instead of
// the default of dying mid-write. Call on the main thread before running the loop.
void onTerminationSignal(std::function<void()> handler);

// The same, and for SIGHUP and SIGQUIT too: for a program that has taken the
// terminal over, whose every way out must give the terminal back.
void onAnyTerminationSignal(std::function<void()> handler);

// The same for a process that runs on in the background: SIGUSR1, SIGUSR2
// and SIGALRM do nothing, and SIGHUP runs handler only when the process
// started in the foreground of its controlling terminal, whose closing then
// ends it; started detached or in the background, it outlives that terminal.
// Caught rather than ignored, so programs it starts get the defaults.
void onEngineTerminationSignal(std::function<void()> handler);

} // namespace korvel::platform
