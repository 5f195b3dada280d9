#include "companion/program/fetch_command.h"

#include "companion/link/helper_connection.h"
#include "shared/helper_protocol.h"
#include "shared/helper_response.h"

#include <future>
#include <ostream>

namespace korvel {

namespace {

constexpr const char* kUsage = R"(Usage: korvel-companion fetch [--show-system]

Asks the helper for one reading and prints its JSON, starting the helper when
it is not running.

  --show-system   List every process. Without it only your own session's
                  processes are listed: other users' and system services'
                  are left out.
)";

} // namespace

int runFetchCommand(const std::vector<std::string_view>& args, std::ostream& out,
                    std::ostream& err) {
    bool showSystem = false;
    for (const std::string_view arg : args) {
        if (arg == "--help" || arg == "-h") {
            out << kUsage;
            return 0;
        }
        if (arg != "--show-system") {
            err << "korvel-companion: unknown option for fetch: " << arg
                << "\nTry 'korvel-companion fetch --help'.\n";
            return 2;
        }
        showSystem = true;
    }
    return runFetchCommand(makeHelperConnection(), showSystem, out, err);
}

int runFetchCommand(const std::shared_ptr<platform::service::Connection>& connection,
                    bool showSystem, std::ostream& out, std::ostream& err) {
    struct Outcome {
        platform::service::Reply reply;
        std::string error;
    };
    std::promise<Outcome> promise;
    auto result = promise.get_future();
    connection->resume();
    connection->send(
        {kFetchDataSelector, showSystem},
        [&promise](platform::service::Reply reply) {
            promise.set_value({std::move(reply), {}});
        },
        [&promise](const std::string& error) {
            promise.set_value({std::nullopt, error});
        });
    const Outcome outcome = result.get();

    if (!outcome.error.empty()) {
        err << "korvel-companion: no reading from the helper: " << outcome.error << '\n';
        return 1;
    }
    if (!outcome.reply) {
        err << "korvel-companion: the helper replied without data\n";
        return 1;
    }
    if (!decodeHelperResponse(*outcome.reply)) {
        err << "korvel-companion: the helper's reply is not a valid document\n";
        return 1;
    }
    out << *outcome.reply << '\n';
    return 0;
}

} // namespace korvel
