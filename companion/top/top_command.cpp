#include "companion/top/top_command.h"

#include "companion/archive/history_time.h"
#include "companion/top/model_json.h"
#include "companion/top/recorded_session.h"
#include "companion/top/terminal_screen.h"
#include "companion/top/top_session.h"
#include "platform/clock/absolute_time.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/dispatch/termination_signals.h"
#include "platform/program/terminal.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <ostream>
#include <tuple>

namespace korvel::top {
namespace {

constexpr double kKeyPollSeconds = 0.05;
constexpr int kPollsPerClockTick = 20;
// A helper that has not answered twice by then gets what there is.
constexpr double kOnceDeadlineSeconds = 30;
constexpr size_t kPlainWidth = 120;
constexpr double kMinimumPeriod = 0.5;

constexpr const char* kUsage =
    R"(Usage: korvel-companion top [-d SECONDS | --at TIME] [--once | --json]

Shows processes, their sockets and network rates live on the terminal (q
quits). Runs its own engine beside a running companion and publishes nothing.

  -d, --delay SECONDS   Refresh every SECONDS (at least 0.5).
  --at TIME             Show the recorded moment at TIME instead ("30m", "3h",
                        "2d", "YYYY-MM-DD HH:MM", "today HH:MM" or
                        "yesterday HH:MM"); [ and ] step to the one before
                        and after: a reading, or a minute or hour bucket
                        where the readings are no longer kept.
  --once                Print one plain-text frame (after two readings).
  --json                Print the model as JSON (after two readings).
)";

struct TopOptions {
    bool once = false;                   // one plain-text frame after two readings
    bool json = false;                   // the model as JSON after two readings
    std::optional<double> refreshPeriod; // -d SECONDS
    std::optional<int64_t> at;           // --at TIME: a recorded moment, Unix seconds
    bool help = false;                   // --help: the usage, and nothing else
};

void printModel(const TopOptions& options, const TopModel& model, ViewState& state,
                const FrameOptions& frameOptions, std::ostream& out) {
    if (options.json) {
        out << modelJson(model) << '\n';
        return;
    }
    for (const FrameLine& line : renderFrame(model, state, frameOptions).lines) {
        out << line.text.substr(0, line.text.find_last_not_of(' ') + 1) << '\n';
    }
}

std::unique_ptr<TerminalScreen> openScreen(std::ostream& err) {
    auto screen = TerminalScreen::open();
    if (!screen) {
        const char* type = std::getenv("TERM");
        err << "korvel-companion: top cannot drive this terminal (TERM="
            << (type != nullptr ? type : "") << " is unknown or cannot move the cursor); "
            << "try top --once\n";
    }
    return screen;
}

int printAfterTwoReadings(const TopOptions& options, TopSession& session,
                          platform::GLibDispatch& dispatch, std::ostream& out) {
    auto print = [&] {
        const bool unicode = platform::standardOutputIsTerminal();
        printModel(options, session.model(), session.state(),
                   session.frameOptions(kPlainWidth, 0, unicode, platform::localClockTime()), out);
        out.flush();
        dispatch.quit();
    };
    session.onReading([&] {
        if (session.model().readings >= 2) {
            print();
        }
    });
    dispatch.onMainAfter(kOnceDeadlineSeconds, print);
    platform::onTerminationSignal([&dispatch] { dispatch.quit(); });
    dispatch.run();
    return out.good() ? 0 : 1;
}

int runFullScreen(TopSession& session, platform::GLibDispatch& dispatch, std::ostream& err) {
    auto screen = openScreen(err);
    if (!screen) {
        return 2;
    }
    const platform::StandardErrorSilenced quietLog;
    Frame drawn;
    auto redraw = [&] {
        drawn = renderFrame(session.model(), session.state(),
                            session.frameOptions(screen->width(), screen->height(),
                                                 screen->unicode(), platform::localClockTime()));
        screen->draw(drawn);
    };
    auto namesArrived = std::make_shared<std::atomic<bool>>(false);
    session.hostNames().setOnResolved([namesArrived] { *namesArrived = true; });
    session.onReading(redraw);
    platform::onAnyTerminationSignal([&dispatch] { dispatch.quit(); });
    int polls = 0;
    auto keys = dispatch.mainRepeatingTimer(kKeyPollSeconds, [&] {
        bool changed = namesArrived->exchange(false) || ++polls % kPollsPerClockTick == 0;
        // Each key acts on the list as the previous one left it.
        while (auto key = screen->nextKey()) {
            session.apply(commandForKey(*key, session.state()), drawn);
            if (session.state().quit) {
                dispatch.quit();
                return;
            }
            redraw();
            changed = false;
        }
        if (changed) {
            redraw();
        }
    });
    redraw();
    dispatch.run();
    keys.reset();
    session.onReading(nullptr);
    session.hostNames().setOnResolved(nullptr);
    return 0;
}

FrameOptions recordedFrameOptions(size_t width, size_t height, bool unicode) {
    FrameOptions options;
    std::tie(options.width, options.height, options.unicode) = std::tuple(width, height, unicode);
    options.resolveHostnames = false; // no sockets are kept to name
    return options;
}

// The recorded moment: printed once, or on the screen until q, stepped with [ and ].
int runRecorded(const TopOptions& options, std::ostream& out, std::ostream& err) {
    std::string error;
    auto session = RecordedSession::open(*options.at, error);
    if (!session) {
        err << "korvel-companion top: " << error << '\n';
        return 1;
    }
    if (options.once || options.json) {
        const bool unicode = platform::standardOutputIsTerminal();
        printModel(options, session->model(), session->state(),
                   recordedFrameOptions(kPlainWidth, 0, unicode), out);
        return out.good() ? 0 : 1;
    }
    auto screen = openScreen(err);
    if (!screen) {
        return 2;
    }
    const platform::StandardErrorSilenced quietLog;
    platform::GLibDispatch& dispatch = platform::liveDispatch();
    Frame drawn;
    auto redraw = [&] {
        drawn =
            renderFrame(session->model(), session->state(),
                        recordedFrameOptions(screen->width(), screen->height(), screen->unicode()));
        screen->draw(drawn);
    };
    platform::onAnyTerminationSignal([&dispatch] { dispatch.quit(); });
    auto keys = dispatch.mainRepeatingTimer(kKeyPollSeconds, [&] {
        while (auto key = screen->nextKey()) {
            session->apply(commandForKey(*key, session->state()), drawn);
            if (session->state().quit) {
                dispatch.quit();
                return;
            }
            redraw();
        }
    });
    redraw();
    dispatch.run();
    keys.reset();
    return 0;
}

// No value, with the reason in `error`, for arguments top does not take.
std::optional<TopOptions> parseTopOptions(const std::vector<std::string_view>& args,
                                          std::string& error) {
    TopOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--once") {
            options.once = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (arg == "-d" || arg == "--delay") {
            double seconds = 0;
            const std::string_view value = i + 1 < args.size() ? args[++i] : std::string_view{};
            const auto [end, status] =
                std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (value.empty() || status != std::errc{} || end != value.data() + value.size() ||
                !std::isfinite(seconds) || seconds < kMinimumPeriod) {
                error = "-d takes a number of seconds, at least 0.5";
                return std::nullopt;
            }
            options.refreshPeriod = seconds;
        } else if (arg == "--at") {
            const std::string_view value = i + 1 < args.size() ? args[++i] : std::string_view{};
            options.at = history::parseHistoryTime(value, std::time(nullptr));
            if (!options.at) {
                error = "--at needs a time such as 3h, 2d, \"2024-05-01 14:30\" or "
                        "\"yesterday 02:00\"";
                return std::nullopt;
            }
        } else {
            error = "unknown option for top: " + std::string(arg);
            return std::nullopt;
        }
    }
    if (options.once && options.json) {
        error = "--once and --json do not go together";
        return std::nullopt;
    }
    if (options.at && options.refreshPeriod) {
        error = "-d and --at do not go together: a recorded moment does not refresh";
        return std::nullopt;
    }
    return options;
}

} // namespace

int runTopCommand(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto options = parseTopOptions(args, error);
    if (!options) {
        err << "korvel-companion: " << error << "\nTry 'korvel-companion top --help'.\n";
        return 2;
    }
    if (options->help) {
        out << kUsage;
        return 0;
    }
    const bool plain = options->once || options->json;
    if (!plain && !(platform::standardInputIsTerminal() && platform::standardOutputIsTerminal())) {
        err << "korvel-companion: top needs a terminal (try top --once or top --json)\n";
        return 2;
    }
    if (options->at) {
        return runRecorded(*options, out, err);
    }
    ManagerEnvironment environment = ManagerEnvironment::live();
    environment.iconForExecutablePath = nullptr; // no window shows them
    platform::GLibDispatch& dispatch = platform::liveDispatch();
    environment.defaults->startWatching();
    TopSession session(std::move(environment), options->refreshPeriod, systemResolver());
    if (plain) {
        return printAfterTwoReadings(*options, session, dispatch, out);
    }
    return runFullScreen(session, dispatch, err);
}

} // namespace korvel::top
