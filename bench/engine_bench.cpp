// The companion's side of one refresh cycle on a large recorded reply: decode,
// merge and snapshot write, each the median over many cycles, the process's
// resident memory, and then the steady-state CPU use of a real companion and
// its helper on this machine at the default period.
//
//   engine_bench [--processes N] [--sockets M] [--cycles C] [--idle-seconds S]
//
// The idle measurement starts build/bin/korvel-companion with private XDG
// directories and stops it (and its helper) afterwards.

#include "bench/command_run.h"
#include "bench/process_figures.h"
#include "companion/engine/korvel_manager.h"
#include "companion/link/advanced_snapshot.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/notification_center.h"
#include "tests/support/virtual_dispatch.h"
#include "shared/helper_response.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using korvel::bench::cpuSeconds;
using korvel::bench::findHelper;
using korvel::bench::median;
using korvel::bench::statusKilobytes;
using Clock = std::chrono::steady_clock;

struct Options {
    int processes = 600;
    int sockets = 30000;
    int cycles = 30;
    int idleSeconds = 60;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--processes") {
            o.processes = value;
        } else if (flag == "--sockets") {
            o.sockets = value;
        } else if (flag == "--cycles") {
            o.cycles = value;
        } else if (flag == "--idle-seconds") {
            o.idleSeconds = value;
        }
    }
    return o;
}

// A reading shaped like a busy desktop: long paths, mixed families and states.
korvel::HelperResponse recordedReply(const Options& o, int cycle) {
    korvel::HelperResponse r;
    r.timestamp = 800000000.0 + cycle * 5.0;
    r.totalRam = 16ULL << 30;
    r.usedRam = 9ULL << 30;
    r.freeRam = 6ULL << 30;
    r.memPressureLevel = 70;
    for (int p = 0; p < o.processes; ++p) {
        r.processes.push_back({1000 + p, "process-" + std::to_string(p),
                               "/opt/vendor/application-" + std::to_string(p % 40) +
                                   "/bin/worker-" + std::to_string(p),
                               static_cast<uint64_t>(cycle) * 10'000'000ULL * (p % 7 + 1),
                               (50ULL + p % 300) << 20});
    }
    for (int s = 0; s < o.sockets; ++s) {
        const bool v6 = s % 3 == 0;
        const bool udp = s % 10 == 0;
        // A few sockets come and go between cycles, as on a real machine.
        const int port = 30000 + s % 30000 + ((s % 97 == 0) ? cycle % 2 : 0);
        r.connections.push_back(
            {1000 + s % o.processes, std::string(udp ? "UDP" : "TCP") + (v6 ? "6" : ""),
             v6 ? "2001:db8::1234:5678" : "192.168.1.20", static_cast<uint16_t>(port),
             v6 ? "2606:4700::6810:85e5" : "93.184.216.34", 443, udp ? -1 : (s % 11 == 0 ? 1 : 4)});
    }
    r.interfaces = {{"eth0", 1000000ULL * cycle, 200000ULL * cycle}, {"wg0", 5000ULL * cycle, 0}};
    return r;
}

void measureIdle(const Options& o, const std::string& companionPath) {
    const auto base = std::filesystem::temp_directory_path() /
                      ("korvel-engine-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(base / "runtime");
    std::filesystem::create_directories(base / "config");
    std::filesystem::permissions(base / "runtime", std::filesystem::perms::owner_all);
    const std::string runtime = (base / "runtime").string();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    // Its history too: the user's own is not the bench's to write.
    ::setenv("XDG_STATE_HOME", (base / "state").c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(companionPath.c_str()), nullptr};
    pid_t companion = -1;
    if (posix_spawn(&companion, companionPath.c_str(), &actions, nullptr, argv, environ) != 0) {
        std::printf("idle run: cannot start %s\n", companionPath.c_str());
        return;
    }
    posix_spawn_file_actions_destroy(&actions);

    // Let startup (three requests in two seconds) pass, then measure.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const pid_t helper = findHelper(runtime);
    const double companionStart = cpuSeconds(companion);
    const double helperStart = helper > 0 ? cpuSeconds(helper) : 0;
    const auto wallStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const double companionCPU = cpuSeconds(companion) - companionStart;
    const double helperCPU = helper > 0 ? cpuSeconds(helper) - helperStart : 0;
    const long companionRSS = statusKilobytes(companion, "VmRSS");
    const long helperRSS = helper > 0 ? statusKilobytes(helper, "VmRSS") : -1;

    ::kill(companion, SIGTERM);
    ::waitpid(companion, nullptr, 0);
    if (helper > 0) {
        ::kill(helper, SIGTERM);
    }
    std::filesystem::remove_all(base);

    std::printf("\nsteady state over %.0f s at the default 5 s period (idle machine expected)\n",
                wall);
    std::printf("%-22s %10s %10s %10s\n", "", "CPU s", "CPU %", "RSS kB");
    std::printf("%-22s %10.3f %10.3f %10ld\n", "korvel-companion", companionCPU,
                100.0 * companionCPU / wall, companionRSS);
    std::printf("%-22s %10.3f %10.3f %10ld\n", "korvel-helper", helperCPU, 100.0 * helperCPU / wall,
                helperRSS);
    std::printf("%-22s %10.3f %10.3f\n", "together", companionCPU + helperCPU,
                100.0 * (companionCPU + helperCPU) / wall);
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::printf("recorded reply: %d processes, %d sockets\n", o.processes, o.sockets);

    std::vector<std::string> documents;
    for (int cycle = 0; cycle < o.cycles; ++cycle) {
        documents.push_back(*korvel::encodeHelperResponse(recordedReply(o, cycle)));
    }
    korvel::testing::VirtualDispatch dispatch;
    korvel::platform::NotificationCenter center(dispatch);
    korvel::platform::UserDefaults defaults("bench.domain", "", dispatch);
    std::function<void(korvel::HelperResponse)> pending;
    korvel::ManagerEnvironment env;
    env.dispatch = &dispatch;
    env.notifications = &center;
    env.defaults = &defaults;
    env.fetchData = [&](bool, std::function<void(korvel::HelperResponse)> completion) {
        pending = std::move(completion);
    };
    env.writeAdvancedSnapshot = [](const korvel::HelperResponse&) {};
    env.removeAdvancedSnapshot = [] {};
    env.sampleCPU = [](const std::optional<korvel::CPUTicks>&) {
        return korvel::CPUSample{{}, 10.0, 1.0, std::nullopt};
    };
    env.readLocalSystemFigures = [] { return korvel::LocalSystemFigures{8, {1, 1}, std::nullopt}; };
    env.processorCount = 8;
    env.liveTrafficSources.readCounters = [] { return std::vector<korvel::HelperInterfaceData>{}; };
    env.liveTrafficSources.now = [&] { return dispatch.now(); };
    auto manager = korvel::KorvelManager::create(env);
    dispatch.runPending();
    const auto snapshotDir = std::filesystem::temp_directory_path() /
                             ("korvel-bench-snapshot-" + std::to_string(::getpid()));
    std::filesystem::create_directories(snapshotDir);
    ::setenv("XDG_RUNTIME_DIR", snapshotDir.c_str(), 1);

    // Each cycle as the companion runs it: the client decodes the reading,
    // which keeps the bytes it came as, and hands it over by move; the
    // snapshot is written from those bytes; the last cycle's memory is reused.
    std::vector<double> decodeTimes, mergeTimes, writeTimes;
    const auto since = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    for (int i = 0; i < o.cycles; ++i) {
        auto start = Clock::now();
        korvel::HelperResponse reading = *korvel::decodeHelperResponse(documents[i]);
        reading.source.text = std::make_shared<const std::string>(std::move(documents[i]));
        decodeTimes.push_back(since(start));
        const auto bytes = reading.source.text;
        start = Clock::now();
        manager->refresh();
        pending(std::move(reading));
        dispatch.runPending();
        mergeTimes.push_back(since(start));
        korvel::HelperResponse published;
        published.source.text = bytes;
        start = Clock::now();
        korvel::writeAdvancedSnapshot(published);
        writeTimes.push_back(since(start));
    }
    const double decodeMs = median(decodeTimes);
    const double mergeMs = median(mergeTimes);
    const double writeMs = median(writeTimes);
    const auto snapshotBytes = std::filesystem::file_size(korvel::advancedSnapshotURL().value());
    std::filesystem::remove_all(snapshotDir);

    std::printf("%-28s %10s\n", "per cycle (median)", "ms");
    std::printf("%-28s %10.2f\n", "decode", decodeMs);
    std::printf("%-28s %10.2f\n", "merge", mergeMs);
    std::printf("%-28s %10.2f  (%ju bytes)\n", "snapshot write", writeMs,
                static_cast<uintmax_t>(snapshotBytes));
    std::printf("%-28s %10.2f\n", "total", decodeMs + mergeMs + writeMs);
    std::printf("%-28s %10ld kB (peak %ld kB) after %d cycles\n", "bench RSS (documents held)",
                statusKilobytes(::getpid(), "VmRSS"), statusKilobytes(::getpid(), "VmHWM"),
                o.cycles);
    manager.reset();

    if (o.idleSeconds > 0) {
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        std::string companion = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
        companion = companion.substr(0, companion.rfind('/')) + "/korvel-companion";
        measureIdle(o, companion);
    }
    return 0;
}
