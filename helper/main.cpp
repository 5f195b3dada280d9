// KorvelHelper: answers fetch requests on the service's socket until ended.
// It reads no arguments and prints nothing.

#include "helper/helper_service.h"

#include <csignal>
#include <memory>

namespace {

std::unique_ptr<korvel::HelperDelegate> delegate;
std::unique_ptr<korvel::platform::xpc::Listener> listener;

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    delegate = std::make_unique<korvel::HelperDelegate>();
    listener = korvel::platform::xpc::Listener::serviceListener(korvel::kHelperServiceName);
    if (!listener) {
        return 0;
    }
    listener->setDelegate(delegate.get());
    listener->resume();
    listener->run();
    return 0;
}
