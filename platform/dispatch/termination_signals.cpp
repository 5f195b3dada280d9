#include "platform/dispatch/termination_signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <glib-unix.h>
#include <initializer_list>
#include <unistd.h>

namespace korvel::platform {
namespace {

using Handler = std::function<void()>;

Handler* keptUntilExit(Handler handler) {
    return new Handler(std::move(handler));
}

void watchSignals(std::initializer_list<int> signals, Handler* handler) {
    for (int signal : signals) {
        g_unix_signal_add(
            signal,
            [](gpointer data) -> gboolean {
                (*static_cast<Handler*>(data))();
                return G_SOURCE_CONTINUE;
            },
            handler);
    }
}

int quitWakeup[2] = {-1, -1};

void wakeOnQuit(int) {
    const int saved = errno;
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(quitWakeup[1], &byte, 1);
    errno = saved;
}

// GLib watches no SIGQUIT; its handler only writes to a pipe the loop reads.
void watchQuitSignal(Handler* handler) {
    if (quitWakeup[0] < 0 && ::pipe2(quitWakeup, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    g_unix_fd_add(
        quitWakeup[0], G_IO_IN,
        [](gint fd, GIOCondition, gpointer data) -> gboolean {
            char drained[16];
            while (::read(fd, drained, sizeof drained) > 0) {
            }
            (*static_cast<Handler*>(data))();
            return G_SOURCE_CONTINUE;
        },
        handler);
    struct sigaction action {};
    action.sa_handler = wakeOnQuit;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGQUIT, &action, nullptr);
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

void onTerminationSignal(Handler handler) {
    watchSignals({SIGINT, SIGTERM}, keptUntilExit(std::move(handler)));
}

void onAnyTerminationSignal(Handler handler) {
    Handler* kept = keptUntilExit(std::move(handler));
    watchSignals({SIGINT, SIGTERM, SIGHUP}, kept);
    watchQuitSignal(kept);
}

void onEngineTerminationSignal(Handler handler) {
    struct sigaction ignored {};
    ignored.sa_handler = doNothing;
    ignored.sa_flags = SA_RESTART;
    sigemptyset(&ignored.sa_mask);
    for (int signal : {SIGUSR1, SIGUSR2, SIGALRM}) {
        ::sigaction(signal, &ignored, nullptr);
    }
    if (inForegroundOfControllingTerminal()) {
        watchSignals({SIGINT, SIGTERM, SIGHUP}, keptUntilExit(std::move(handler)));
    } else {
        ::sigaction(SIGHUP, &ignored, nullptr);
        watchSignals({SIGINT, SIGTERM}, keptUntilExit(std::move(handler)));
    }
}

} // namespace korvel::platform
