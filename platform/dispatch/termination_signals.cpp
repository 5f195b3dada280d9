#include "platform/dispatch/termination_signals.h"

#include <csignal>
#include <glib-unix.h>

namespace korvel::platform {

void onTerminationSignal(std::function<void()> handler) {
    auto* shared = new std::function<void()>(std::move(handler)); // lives until exit
    for (int signal : {SIGINT, SIGTERM}) {
        g_unix_signal_add(
            signal,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_CONTINUE;
            },
            shared);
    }
}

} // namespace korvel::platform
