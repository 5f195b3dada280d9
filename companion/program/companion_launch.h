#pragma once

#include "companion/program/engine_instance.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The private program that shows the windows. Only it maps the toolkit, so a
// windowless engine, fetch and defaults never pay for it.
inline constexpr const char* kWindowProgramName = "korvel-companion-gtk";

// What a start of the companion was asked for.
struct LaunchRequest {
    // `korvel-companion --settings`: open the settings window.
    bool openSettings = false;
    // `korvel-companion --window`: open the live window.
    bool openWindow = false;
    // --prometheus-textfile-directory, which outlasts the handover.
    std::optional<std::string> textfileDirectory{};
};

// The option, as both programs take it.
inline constexpr std::string_view kTextfileDirectoryFlag = "--prometheus-textfile-directory";
// The request as arguments of korvel-companion.
std::vector<std::string> companionArguments(const LaunchRequest& request);

// What korvel-companion hands the window program.
struct WindowLaunch {
    // The engine claim's descriptor, kept across the exec; -1 runs unguarded.
    int claimDescriptor = -1;
    // The public program: the autostart entry starts it, and it runs the engine
    // when the display cannot be opened after all.
    std::string companionProgram;
    LaunchRequest request;
};

std::vector<std::string> windowProgramArguments(const WindowLaunch& launch);
std::optional<WindowLaunch> parseWindowProgramArguments(const std::vector<std::string_view>& args);

// The start without a command: one engine per user (a later start hands its
// request to the running one). With a display named, the claim passes to the
// window program, which replaces this process; without one, or when that
// program cannot start, the engine runs here without windows.
int runCompanion(LaunchRequest request);

// The windowless engine with the claim taken: registers the autostart entry, says
// on a terminal that no window can be shown, and answers the settings command
// and window commands with kCommandNoDisplay.
int runWithoutDisplay(std::unique_ptr<EngineInstance> instance, LaunchRequest request,
                      const std::string& companionProgram);

// Another engine runs: hand it this start's request.
int forwardToRunningEngine(LaunchRequest request);

// The exit code of `--window` where no window can be shown.
inline constexpr int kNoDisplayExitCode = 2;

} // namespace korvel
