// KorvelCompanion: the background engine, its windows and a few commands.

#include "companion/history/history_command.h"
#include "companion/history/usage_command.h"
#include "companion/program/companion_launch.h"
#include "companion/program/defaults_command.h"
#include "companion/program/fetch_command.h"
#include "companion/top/top_command.h"
#include "platform/log/log_sink.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Arguments = std::vector<std::string_view>;

constexpr const char* kUsage =
    R"(Usage: korvel-companion [--settings | --window] [--prometheus-textfile-directory DIR]
       korvel-companion COMMAND [OPTION...]

Background system and network monitor. Without a command it runs the engine
until interrupted, publishing each reading as the advanced snapshot; on a
terminal it prints one status line per refresh. With a display it shows the
setup window until the setup is completed. Only one runs per user: a second
start says so and ends.

  --settings              Open the settings window of the running companion,
                          or start one that opens it.
  --window                Open the live window (processes, connections,
                          interfaces) the same way; exits 2 without a display.
  --prometheus-textfile-directory DIR
                          Write korvel.prom into DIR after every refresh, for
                          node_exporter's textfile collector (overrides the
                          prometheusTextfileDirectory setting; '' turns it off).
  --help                  Show this text.

Commands (COMMAND --help shows its options):
)";

int printUsage(const Arguments& args, std::ostream& out, std::ostream& err);

struct Command {
    std::string_view name;
    std::string_view summary;
    int (*run)(const Arguments& args, std::ostream& out, std::ostream& err);
};

constexpr Command kCommands[] = {
    {"fetch", "Ask the helper for one reading and print its JSON.", korvel::runFetchCommand},
    {"top", "Show processes, their sockets and network rates live, or as recorded.",
     korvel::top::runTopCommand},
    {"defaults", "Read, write or delete a setting.", korvel::runDefaultsCommand},
    {"history", "What the recorded history says about processes and endpoints.",
     korvel::history::runHistoryCommand},
    {"usage", "Data used per network this billing cycle, and by which apps.",
     korvel::history::runUsageCommand},
    {"help", "Show this text.", printUsage},
};

// `help` alone, or `help COMMAND` for that command's own.
int printUsage(const Arguments& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1) {
        for (const Command& command : kCommands) {
            if (command.name == args[0] && command.run != printUsage) {
                return command.run({"--help"}, out, err);
            }
        }
    }
    if (!args.empty()) {
        err << "korvel-companion: help takes the name of one command\nTry 'korvel-companion "
               "--help'.\n";
        return 2;
    }
    out << kUsage;
    for (const Command& command : kCommands) {
        out << "  " << command.name << std::string(24 - command.name.size(), ' ') << command.summary
            << '\n';
    }
    return 0;
}

int usageError(const std::string& problem) {
    std::cerr << "korvel-companion: " << problem << "\nTry 'korvel-companion --help'.\n";
    return 2;
}

// The engine's options: --settings, --window and the textfile directory, as
// `--prometheus-textfile-directory DIR` or `--prometheus-textfile-directory=DIR`.
int runEngine(const Arguments& args) {
    korvel::LaunchRequest request;
    const std::string flag(korvel::kTextfileDirectoryFlag);
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            return printUsage({}, std::cout, std::cerr);
        }
        if (args[i] == "--settings" || args[i] == "--window") {
            (args[i] == "--settings" ? request.openSettings : request.openWindow) = true;
            continue;
        }
        std::string directory;
        if (args[i] == flag) {
            if (i + 1 == args.size()) {
                return usageError(flag + " needs a directory");
            }
            directory = args[++i];
        } else if (args[i].starts_with(flag + "=")) {
            directory = args[i].substr(flag.size() + 1);
        } else {
            const char* problem =
                args[i].starts_with('-') ? "unknown option: " : "unexpected argument: ";
            return usageError(problem + std::string(args[i]));
        }
        if (!directory.empty()) {
            std::error_code ec;
            if (!std::filesystem::is_directory(directory, ec)) {
                return usageError("not a directory: " + directory);
            }
            directory = std::filesystem::absolute(directory, ec).lexically_normal().string();
        }
        request.textfileDirectory = std::move(directory);
    }
    return korvel::runCompanion(std::move(request));
}

int runCommand(const Arguments& args) {
    if (args.empty() || args[0].starts_with('-')) {
        return runEngine(args);
    }
    for (const Command& command : kCommands) {
        if (args[0] == command.name) {
            // The user's terminal is no log: routine records go to the journal.
            korvel::platform::log::keepRoutineRecordsOffStderr();
            return command.run({args.begin() + 1, args.end()}, std::cout, std::cerr);
        }
    }
    return usageError("unknown command: " + std::string(args[0]));
}

// Output that never reached its file is a failure, whatever the command made of it.
int checkedOutput(int status) {
    errno = 0;
    std::cout.flush();
    if (std::fflush(stdout) == 0 && std::cout.good() && !std::ferror(stdout)) {
        return status;
    }
    const int error = errno;
    std::cerr << "korvel-companion: cannot write the output"
              << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << '\n';
    return status == 0 ? 1 : status;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    return checkedOutput(runCommand(Arguments(argv + 1, argv + argc)));
}
