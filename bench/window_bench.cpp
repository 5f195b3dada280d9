// The companion with its live window open on Processes, in a private X
// server, under a load of sleeping processes holding loopback sockets: the
// companion's CPU and its helper's, and how long each main-loop iteration
// keeps the loop from polling (all of them, and those that apply a merge).
// Then the same with the window closed, under the load and on an idle machine.
//
//   window_bench [--processes N] [--connections M] [--seconds S]
//
// The companion runs in this process, as korvel-companion-gtk would run it:
// only so can the loop be timed without a hook in the program. Its helper is
// the korvel-helper beside this program. Rendering is GTK's software
// renderer (GSK_RENDERER, GDK_DEBUG and GTK_A11Y may be set to override).

#include "bench/command_run.h"
#include "bench/process_figures.h"
#include "bench/socket_load.h"
#include "companion/app/korvel_app.h"
#include "companion/engine/korvel_manager.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using korvel::bench::cpuSeconds;
using korvel::bench::findHelper;

struct Options {
    int processes = 400;
    int connections = 5; // each held at both ends: 4,000 sockets with 400 processes
    double seconds = 30;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--processes") {
            o.processes = std::atoi(argv[i + 1]);
        } else if (flag == "--connections") {
            o.connections = std::atoi(argv[i + 1]);
        } else if (flag == "--seconds") {
            o.seconds = std::max(2.0, std::atof(argv[i + 1]));
        }
    }
    return o;
}

volatile pid_t xServer = -1;

void onSignal(int signal) {
    if (xServer > 0) {
        ::kill(xServer, SIGTERM);
    }
    korvel::bench::endLoadAndExit(signal);
}

// A private Xvfb on a display number it picks; empty when it does not start.
std::string startXServer() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 3);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
                 "tcp", nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    xServer = pid;
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    ::close(fds[0]);
    return number.empty() ? std::string() : ":" + number;
}

// Times each iteration of the default main context from the poll's return to
// the next poll: the time it spends dispatching, in which it answers nothing.
// Wall time, and the main thread's CPU time: on a busy machine the first
// also counts the time others had the core.
struct LoopProbe {
    bool recording = false;
    bool merged = false; // a merge was applied since the last poll
    gint64 pollReturned = 0;
    double cpuAtReturn = 0;
    std::vector<double> busyMs;
    std::vector<double> mergeBusyMs, mergeCpuMs;
};
LoopProbe probe;
GPollFunc systemPoll = nullptr;
uint64_t trafficSamples = 0; // the live traffic sampler's ticks that published rates

double threadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

gint timedPoll(GPollFD* fds, guint count, gint timeout) {
    const gint64 entered = g_get_monotonic_time();
    if (probe.recording && probe.pollReturned != 0) {
        const double ms = static_cast<double>(entered - probe.pollReturned) / 1000.0;
        probe.busyMs.push_back(ms);
        if (probe.merged) {
            probe.mergeBusyMs.push_back(ms);
            probe.mergeCpuMs.push_back(threadCpuMs() - probe.cpuAtReturn);
        }
    }
    probe.merged = false;
    const gint ready = systemPoll(fds, count, timeout);
    probe.pollReturned = g_get_monotonic_time();
    probe.cpuAtReturn = threadCpuMs();
    return ready;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

struct Phase {
    std::string name;
    double period = 0;
    uint64_t merges = 0;
    double samplesPerSecond = 0;
    long rows = -1; // the table's, when the window shows it
    double wall = 0, companion = 0, helper = 0, xServer = 0;
    std::vector<double> busyMs, mergeBusyMs, mergeCpuMs;
};

// One measured stretch: from begin() to end(), on the main loop.
class PhaseMeter {
public:
    PhaseMeter(std::string runtime, std::shared_ptr<korvel::KorvelManager> manager)
        : runtime_(std::move(runtime)), manager_(std::move(manager)) {}

    void begin(const std::string& name) {
        phase_ = Phase();
        phase_.name = name;
        helper_ = findHelper(runtime_);
        start_ = std::chrono::steady_clock::now();
        companionStart_ = cpuSeconds(::getpid());
        helperStart_ = helper_ > 0 ? cpuSeconds(helper_) : 0;
        xStart_ = cpuSeconds(xServer);
        mergesStart_ = manager_->readingsMerged.get();
        samplesStart_ = trafficSamples;
        probe.busyMs.clear();
        probe.mergeBusyMs.clear();
        probe.mergeCpuMs.clear();
        probe.pollReturned = 0;
        probe.recording = true;
    }

    Phase end(long rows) {
        probe.recording = false;
        phase_.wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        phase_.companion = (cpuSeconds(::getpid()) - companionStart_) / phase_.wall;
        // A helper that went meanwhile reads as 0 s: no figure rather than a wrong one.
        const double helperNow = helper_ > 0 ? cpuSeconds(helper_) : 0;
        phase_.helper = helperNow >= helperStart_ && helperNow > 0
                            ? (helperNow - helperStart_) / phase_.wall
                            : NAN;
        phase_.xServer = (cpuSeconds(xServer) - xStart_) / phase_.wall;
        phase_.period = manager_->refreshPeriod();
        phase_.merges = manager_->readingsMerged.get() - mergesStart_;
        phase_.samplesPerSecond = static_cast<double>(trafficSamples - samplesStart_) / phase_.wall;
        phase_.rows = rows;
        phase_.busyMs = std::move(probe.busyMs);
        phase_.mergeBusyMs = std::move(probe.mergeBusyMs);
        phase_.mergeCpuMs = std::move(probe.mergeCpuMs);
        return std::move(phase_);
    }

private:
    std::string runtime_;
    std::shared_ptr<korvel::KorvelManager> manager_;
    Phase phase_;
    pid_t helper_ = -1;
    std::chrono::steady_clock::time_point start_;
    double companionStart_ = 0, helperStart_ = 0, xStart_ = 0;
    uint64_t mergesStart_ = 0, samplesStart_ = 0;
};

// Runs the steps one after another on the main loop, each after its delay.
void runSteps(std::shared_ptr<std::vector<std::pair<double, std::function<void()>>>> steps,
              size_t at = 0) {
    if (at >= steps->size()) {
        return;
    }
    const auto delay = static_cast<unsigned>((*steps)[at].first * 1000);
    Glib::signal_timeout().connect_once(
        [steps, at] {
            (*steps)[at].second();
            runSteps(steps, at + 1);
        },
        delay);
}

void printTable(const std::vector<Phase>& phases, const Options& o) {
    std::printf("%-28s %6s %6s %7s %5s %9s %6s %5s | %9s %6s %6s | %5s %13s %13s\n", "", "period",
                "merges", "samples", "rows", "companion", "helper", "Xvfb", "iteration", "", "",
                "merge", "wall ms", "CPU ms");
    std::printf("%-28s %6s %6s %7s %5s %9s %6s %5s | %9s %6s %6s | %5s %6s %6s %6s %6s\n", "phase",
                "s", "", "per s", "", "% core", "%", "%", "p50 ms", "p99 ms", "max ms", "n", "p50",
                "max", "p50", "max");
    for (const Phase& p : phases) {
        const std::string rows = p.rows < 0 ? "-" : std::to_string(p.rows);
        std::printf("%-28s %6.1f %6llu %7.2f %5s %9.2f %6.2f %5.2f | %9.3f %6.2f %6.2f | %5zu "
                    "%6.1f %6.1f %6.1f %6.1f\n",
                    p.name.c_str(), p.period, static_cast<unsigned long long>(p.merges),
                    p.samplesPerSecond, rows.c_str(), 100 * p.companion, 100 * p.helper,
                    100 * p.xServer, percentile(p.busyMs, 0.5), percentile(p.busyMs, 0.99),
                    percentile(p.busyMs, 1.0), p.mergeBusyMs.size(), percentile(p.mergeBusyMs, 0.5),
                    percentile(p.mergeBusyMs, 1.0), percentile(p.mergeCpuMs, 0.5),
                    percentile(p.mergeCpuMs, 1.0));
    }
    std::printf("load: %d processes x %d TCP connections (IPv6 over ::ffff:127.0.0.1, both ends "
                "held: %d sockets), %.0f s a phase\n",
                o.processes, o.connections, 2 * o.processes * o.connections, o.seconds);
    std::printf(
        "samples: ticks of the live traffic sampler; iteration: from a poll's return to "
        "the next poll; merge: iterations that applied a reading (wall and main-thread "
        "CPU time); the window catches up in iterations of its own, counted in iteration\n");
    std::printf("goals: window open, companion <= 8 %% of one core and no iteration over 16 ms; "
                "window closed on an idle machine, companion + helper <= 0.2 %%\n");
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, onSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string companion = (bin / "korvel-companion").string();
    const fs::path base =
        fs::temp_directory_path() / ("korvel-window-bench-" + std::to_string(::getpid()));
    for (const char* dir : {"runtime", "config", "state"}) {
        fs::create_directories(base / dir);
    }
    fs::permissions(base / "runtime", fs::perms::owner_all);
    const std::string runtime = (base / "runtime").string();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (base / "state").c_str(), 1);
    ::setenv("HOME", base.c_str(), 1);
    // No session bus: no other instance to hand over to, no portal.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvel-bench-bus", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ::setenv("GSK_RENDERER", "cairo", 0);
    ::setenv("GDK_DEBUG", "gl-disable", 0);
    ::setenv("GTK_A11Y", "none", 0);

    const std::string display = startXServer();
    if (display.empty()) {
        std::fprintf(stderr, "window_bench: Xvfb did not start (scripts/install-deps.sh)\n");
        return 1;
    }
    ::setenv("DISPLAY", display.c_str(), 1);
    korvel::bench::runCommand(
        {companion, "defaults", "write", "companionSetupCompleted", "-bool", "true"});
    // Before GTK starts threads: the load forks.
    if (!korvel::bench::startLoad(o.processes, o.connections, 0)) {
        std::fprintf(stderr, "window_bench: the load did not come up\n");
        onSignal(0);
    }

    // On a terminal the engine prints a line per refresh; the table comes after.
    const int table = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);

    GMainContext* context = g_main_context_default();
    systemPoll = g_main_context_get_poll_func(context);
    g_main_context_set_poll_func(context, timedPoll);

    korvel::LaunchRequest request;
    request.openWindow = true;
    auto app = korvel::KorvelApp::create(nullptr, request, companion);
    std::vector<Phase> phases;
    std::unique_ptr<PhaseMeter> meter;
    uint64_t mergeObserver = 0, sampleObserver = 0;
    const auto window = [&] { return app->delegate()->liveWindow(); };
    const auto manager = [&] { return app->delegate()->manager(); };
    auto steps = std::make_shared<std::vector<std::pair<double, std::function<void()>>>>();
    *steps = {
        {0,
         [&] {
             mergeObserver =
                 manager()->readingsMerged.observe([](uint64_t) { probe.merged = true; });
             sampleObserver = manager()->liveOutboundRate.observe([](double) { ++trafficSamples; });
             meter = std::make_unique<PhaseMeter>(runtime, manager());
             window()->showTab("processes");
         }},
        // The start-up readings (at 0, 0.8 and 2 s) pass first.
        {4, [&] { meter->begin("window open, Processes, load"); }},
        {o.seconds,
         [&] {
             phases.push_back(meter->end(window()->processes().model().store->get_n_items()));
             window()->close();
         }},
        // Past one period of the user's 5 s, so the window's faster timers are gone.
        {6, [&] { meter->begin("window closed, load"); }},
        {o.seconds,
         [&] {
             phases.push_back(meter->end(-1));
             korvel::bench::endLoad();
         }},
        // Two periods: one reading sees the load go, the next an idle machine.
        {11, [&] { meter->begin("window closed, idle machine"); }},
        {o.seconds,
         [&] {
             phases.push_back(meter->end(-1));
             manager()->readingsMerged.removeObserver(mergeObserver);
             manager()->liveOutboundRate.removeObserver(sampleObserver);
             app->quit();
         }},
    };
    runSteps(steps);
    char* args[] = {argv[0], nullptr};
    const int status = app->run(1, args);
    g_main_context_set_poll_func(context, systemPoll);

    ::dup2(table, STDOUT_FILENO);
    ::close(table);
    korvel::bench::stopHelper(runtime);
    ::kill(xServer, SIGTERM);
    ::waitpid(xServer, nullptr, 0);
    korvel::bench::endLoad();
    std::error_code ignored;
    fs::remove_all(base, ignored);
    if (status != 0 || phases.size() != 3) {
        std::fprintf(stderr, "window_bench: the companion ended early (status %d)\n", status);
        return 1;
    }
    std::printf("companion with its window, %s (renderer %s)\n", display.c_str(),
                std::getenv("GSK_RENDERER"));
    printTable(phases, o);
    return 0;
}
