// KorvelCompanion: the background engine, its windows and a few commands.

#include "companion/cli/companion_launch.h"
#include "companion/cli/defaults_command.h"
#include "companion/cli/fetch_command.h"

#include <csignal>
#include <cstring>
#include <iostream>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage = R"(Usage: korvel-companion [COMMAND]

Background system and network monitor. With no command it runs the engine
until interrupted, publishing each reading as the advanced snapshot; on a
terminal it prints one status line per refresh. With a display it shows the
setup window until the setup is completed. Only one runs per user: a second
start says so and ends.

Commands:
  --settings              Open the settings window of the running companion,
                          or start one that opens it.
  fetch [--show-system]   Ask the helper for one reading and print its JSON.
                          Starts the helper when it is not running. Without
                          --show-system, processes under /usr, /bin, /sbin
                          are left out.
  defaults read [KEY]     Print the settings (or one value) as JSON.
  defaults write KEY [-bool|-int|-float|-string] VALUE
                          Store a setting; without a type flag true/false,
                          integers and decimals keep that type, the rest
                          are strings. A running companion sees it.
  defaults delete KEY     Remove a setting so it reads as its default.
  --help                  Show this text.
)";

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--settings") {
        if (args.size() > 1) {
            std::cerr << "korvel-companion: unexpected argument: " << args[1] << '\n';
            return 2;
        }
        return korvel::runCompanion({.openSettings = !args.empty()});
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (args[0] == "fetch") {
        bool showSystem = false;
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--show-system") {
                showSystem = true;
            } else {
                std::cerr << "korvel-companion: unknown option for fetch: " << args[i] << '\n';
                return 2;
            }
        }
        return korvel::runFetchCommand(showSystem, std::cout, std::cerr);
    }
    if (args[0] == "defaults") {
        return korvel::runDefaultsCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
    }
    std::cerr << "korvel-companion: unknown command: " << args[0] << "\nTry --help.\n";
    return 2;
}
