#include "platform/dispatch/termination_signals.h"

#include <csignal>
#include <fcntl.h>
#include <glib-unix.h>
#include <initializer_list>
#include <unistd.h>

namespace korvel::platform {
namespace {

void runOnMainLoop(std::initializer_list<int> signals, std::function<void()> handler) {
    auto* shared = new std::function<void()>(std::move(handler)); // lives until exit
    for (int signal : signals) {
        g_unix_signal_add(
            signal,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_CONTINUE;
            },
            shared);
    }
}

void doNothing(int) {}

bool inForegroundOfControllingTerminal() {
    const int terminal = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        return false;
    }
    const bool foreground = ::tcgetpgrp(terminal) == ::getpgrp();
    ::close(terminal);
    return foreground;
}

} // namespace

void onTerminationSignal(std::function<void()> handler) {
    runOnMainLoop({SIGINT, SIGTERM}, std::move(handler));
}

void onEngineTerminationSignal(std::function<void()> handler) {
    struct sigaction ignored {};
    ignored.sa_handler = doNothing;
    ignored.sa_flags = SA_RESTART;
    sigemptyset(&ignored.sa_mask);
    for (int signal : {SIGUSR1, SIGUSR2, SIGALRM}) {
        ::sigaction(signal, &ignored, nullptr);
    }
    if (inForegroundOfControllingTerminal()) {
        runOnMainLoop({SIGINT, SIGTERM, SIGHUP}, std::move(handler));
    } else {
        ::sigaction(SIGHUP, &ignored, nullptr);
        runOnMainLoop({SIGINT, SIGTERM}, std::move(handler));
    }
}

} // namespace korvel::platform
