// KorvelHelper: answers fetch requests on the service's socket until ended,
// or until nobody has used it for a while. It reads no arguments and prints
// nothing but the reason it cannot serve.

#include "helper/helper_service.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;

// Long enough to stay up across a companion's refreshes, short enough not to
// outlive its users for long; the next request starts a new helper.
constexpr auto kIdleExit = 60s;

std::chrono::milliseconds idleExit() {
    // Tests shorten the quiet period; nothing else sets it.
    if (const char* value = std::getenv("KORVEL_HELPER_IDLE_EXIT_MS")) {
        const long milliseconds = std::strtol(value, nullptr, 10);
        if (milliseconds > 0) {
            return std::chrono::milliseconds(milliseconds);
        }
    }
    return kIdleExit;
}

std::unique_ptr<korvel::HelperDelegate> delegate;
std::unique_ptr<korvel::platform::service::Listener> listener;

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    // Started detached: no terminal's hang-up concerns it, nor any signal it
    // has no use for.
    for (int unused : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM}) {
        std::signal(unused, SIG_IGN);
    }
    delegate = std::make_unique<korvel::HelperDelegate>();
    std::string error;
    listener =
        korvel::platform::service::Listener::serviceListener(korvel::kHelperServiceName, error);
    // Whoever started us (systemd above all) must see that nothing is served.
    if (!listener) {
        std::cerr << "korvel-helper: " << error << '\n';
        return 1;
    }
    listener->setDelegate(delegate.get());
    listener->setIdleExit(idleExit());
    listener->resume();
    if (!listener->run()) {
        std::cerr << "korvel-helper: stopped serving: " << std::strerror(errno) << '\n';
        return 1;
    }
    return 0;
}
