// KorvelCompanion: the background engine, its windows and a few commands.

#include "companion/cli/companion_launch.h"
#include "companion/cli/defaults_command.h"
#include "companion/cli/fetch_command.h"
#include "companion/top/top_command.h"

#include <csignal>
#include <cstring>
#include <filesystem>
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

Options of the engine:
  --prometheus-textfile-directory DIR
                          Write korvel.prom into DIR after every refresh, for
                          node_exporter's textfile collector (overrides the
                          prometheusTextfileDirectory setting; '' turns it off).

Commands:
  --settings              Open the settings window of the running companion,
                          or start one that opens it.
  --window                Open the live window (processes, connections,
                          interfaces) the same way; exits 2 without a display.
  fetch [--show-system]   Ask the helper for one reading and print its JSON.
                          Starts the helper when it is not running. Without
                          --show-system, only your own session's processes
                          are listed: other users' and system services' are
                          left out.
  top [-d SECONDS] [--once | --json]
                          Show processes, their sockets and network rates
                          live on the terminal (q quits). Runs its own
                          engine beside a running companion and publishes
                          nothing. --once prints one plain-text frame after
                          two readings, --json the model as JSON.
  defaults read [KEY]     Print the settings (or one value) as JSON.
  defaults write KEY [-bool|-int|-float|-string] VALUE
                          Store a setting; without a type flag true/false,
                          integers and decimals keep that type, the rest
                          are strings. A running companion sees it.
  defaults delete KEY     Remove a setting so it reads as its default.
  --help                  Show this text.
)";

// Takes the engine's options out of args. False, said on stderr, when one is
// unusable.
bool takeEngineOptions(std::vector<std::string_view>& args, korvel::LaunchRequest& request) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view value;
        size_t taken = 0;
        if (args[i] == korvel::kTextfileDirectoryFlag) {
            if (i + 1 == args.size()) {
                std::cerr << "korvel-companion: " << korvel::kTextfileDirectoryFlag
                          << " needs a directory\n";
                return false;
            }
            value = args[i + 1];
            taken = 2;
        } else if (args[i].starts_with(std::string(korvel::kTextfileDirectoryFlag) + "=")) {
            value = args[i].substr(korvel::kTextfileDirectoryFlag.size() + 1);
            taken = 1;
        } else {
            continue;
        }
        std::string directory(value);
        if (!directory.empty()) {
            std::error_code ec;
            if (!std::filesystem::is_directory(directory, ec)) {
                std::cerr << "korvel-companion: not a directory: " << directory << '\n';
                return false;
            }
            directory = std::filesystem::absolute(directory, ec).lexically_normal().string();
        }
        request.textfileDirectory = std::move(directory);
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i + taken));
        --i;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string_view> args(argv + 1, argv + argc);
    const bool engineRun = args.empty() || args[0] == "--settings" || args[0] == "--window" ||
                           args[0].starts_with(korvel::kTextfileDirectoryFlag);
    korvel::LaunchRequest request;
    if (engineRun && !takeEngineOptions(args, request)) {
        return 2;
    }
    if (args.empty() || args[0] == "--settings" || args[0] == "--window") {
        if (args.size() > 1) {
            std::cerr << "korvel-companion: unexpected argument: " << args[1] << '\n';
            return 2;
        }
        request.openSettings = !args.empty() && args[0] == "--settings";
        request.openWindow = !args.empty() && args[0] == "--window";
        return korvel::runCompanion(std::move(request));
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
    if (args[0] == "top") {
        return korvel::top::runTopCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
    }
    if (args[0] == "defaults") {
        return korvel::runDefaultsCommand({args.begin() + 1, args.end()}, std::cout, std::cerr);
    }
    std::cerr << "korvel-companion: unknown command: " << args[0] << "\nTry --help.\n";
    return 2;
}
