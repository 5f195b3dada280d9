#include "companion/program/companion_launch.h"

#include "companion/program/engine_command.h"
#include "companion/program/launch_at_login.h"
#include "platform/defaults/user_defaults.h"
#include "platform/program/executable_path.h"
#include "platform/program/install_layout.h"
#include "platform/program/program_handover.h"
#include "platform/program/terminal.h"

#include <charconv>
#include <cstdlib>
#include <iostream>

namespace korvel {
namespace {

constexpr std::chrono::milliseconds kCommandTimeout{5000};
constexpr std::string_view kClaimFlag = "--claim-fd";
constexpr std::string_view kCompanionFlag = "--companion";
constexpr std::string_view kSettingsFlag = "--settings";
constexpr std::string_view kWindowFlag = "--window";

bool displayNamed() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

int noDisplayForWindow(const char* why) {
    std::cerr << "korvel-companion: " << why << "; the live window cannot be shown\n";
    return kNoDisplayExitCode;
}

void sayOnTerminal(const std::string& line) {
    if (platform::standardOutputIsTerminal()) {
        std::cout << line << std::endl;
    }
}

} // namespace

std::vector<std::string> companionArguments(const LaunchRequest& request) {
    std::vector<std::string> args;
    if (request.openSettings) {
        args.emplace_back(kSettingsFlag);
    }
    if (request.openWindow) {
        args.emplace_back(kWindowFlag);
    }
    if (request.textfileDirectory) {
        args.emplace_back(kTextfileDirectoryFlag);
        args.push_back(*request.textfileDirectory);
    }
    return args;
}

std::vector<std::string> windowProgramArguments(const WindowLaunch& launch) {
    std::vector<std::string> args{std::string(kClaimFlag), std::to_string(launch.claimDescriptor),
                                  std::string(kCompanionFlag), launch.companionProgram};
    for (auto& arg : companionArguments(launch.request)) {
        args.push_back(std::move(arg));
    }
    return args;
}

std::optional<WindowLaunch> parseWindowProgramArguments(const std::vector<std::string_view>& args) {
    WindowLaunch launch;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == kClaimFlag && hasValue) {
            const std::string_view value = args[++i];
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), launch.claimDescriptor);
            if (ec != std::errc() || end != value.data() + value.size()) {
                return std::nullopt;
            }
        } else if (args[i] == kCompanionFlag && hasValue) {
            launch.companionProgram = args[++i];
        } else if (args[i] == kSettingsFlag) {
            launch.request.openSettings = true;
        } else if (args[i] == kWindowFlag) {
            launch.request.openWindow = true;
        } else if (args[i] == kTextfileDirectoryFlag && hasValue) {
            launch.request.textfileDirectory = std::string(args[++i]);
        } else {
            return std::nullopt;
        }
    }
    if (!launch.companionProgram.starts_with('/')) {
        return std::nullopt;
    }
    return launch;
}

int forwardToRunningEngine(LaunchRequest request) {
    if (!request.openSettings && !request.openWindow) {
        std::cout << kAlreadyRunningMessage << std::endl;
        return 0;
    }
    std::string error;
    const auto directory = EngineInstance::defaultDirectory();
    const char* command = request.openWindow ? kOpenWindowCommand : kOpenSettingsCommand;
    const auto answer = directory
                            ? EngineInstance::send(*directory, command, kCommandTimeout, error)
                            : std::nullopt;
    if (!answer) {
        std::cerr << "korvel-companion: the running companion did not answer: " << error << '\n';
        return 1;
    }
    if (*answer == kCommandNoDisplay && request.openWindow) {
        return noDisplayForWindow("the running companion has no display");
    }
    if (*answer == kCommandNoDisplay) {
        std::cerr << "korvel-companion: the running companion has no display; the settings "
                     "window cannot be shown\n";
        return 1;
    }
    return 0;
}

int runWithoutDisplay(std::unique_ptr<EngineInstance> instance, LaunchRequest request,
                      const std::string& companionProgram) {
    HeadlessLaunch launch;
    launch.textfileDirectory = request.textfileDirectory;
    launch.afterLaunch = [request, companionProgram](const std::shared_ptr<KorvelManager>&) {
        if (registerAndCheckSetupPending(platform::UserDefaults::companion(),
                                         AutostartItem::forCompanion(companionProgram))) {
            sayOnTerminal("No display (DISPLAY and WAYLAND_DISPLAY are unset or cannot be "
                          "opened): the setup window could not be shown. The companion runs "
                          "without it.");
        }
        if (request.openSettings) {
            sayOnTerminal("No display: the settings window could not be shown.");
        }
    };
    launch.onCommand = [](const std::string& command) -> std::string {
        return command == kOpenSettingsCommand || command == kOpenWindowCommand ? kCommandNoDisplay
                                                                                : kCommandUnknown;
    };
    return runHeadlessEngine(std::move(instance), std::move(launch));
}

int runCompanion(LaunchRequest request) {
    const std::string program = platform::runningExecutablePath().value_or("");
    auto claim = claimEngineInstance();
    if (claim.outcome == EngineInstance::Claim::runningElsewhere) {
        return forwardToRunningEngine(request);
    }
    auto instance = std::move(claim.instance); // none when unavailable: run unguarded
    if (request.openWindow && !displayNamed()) {
        return noDisplayForWindow("no display (DISPLAY and WAYLAND_DISPLAY are unset)");
    }
    if (displayNamed() && !program.empty()) {
        const std::string windows = platform::bundledExecutable(kWindowProgramName).value_or("");
        const int descriptor = instance ? instance->keepClaimAcrossExec(true) : -1;
        const std::string error = platform::handOverToProgram(
            windows, windowProgramArguments({descriptor, program, request}));
        if (instance) {
            instance->keepClaimAcrossExec(false); // nothing else may inherit it
        }
        std::cerr << "korvel-companion: " << error << "; running without windows\n";
    }
    return runWithoutDisplay(std::move(instance), request, program);
}

} // namespace korvel
