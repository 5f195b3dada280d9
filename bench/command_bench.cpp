// Whole commands as a user runs them, each against its peer in the same run:
// `korvel-companion --help` against `ss -V`, `korvel-companion fetch
// --show-system` against `ss -tunap` on a socket load of our own, and a
// headless companion's resident memory (idle machine, then under the load)
// and its CPU use together with its helper's at the default 5 s period with
// system processes shown.
//
//   command_bench [--processes N] [--connections M] [--udp K] [--pairs P]
//                 [--cpu-seconds S] [--companion PATH]
//
// PATH defaults to the korvel-companion beside this program; naming another
// build compares it on the same machine state.

#include "bench/command_run.h"
#include "bench/loopback_address.h"
#include "bench/process_figures.h"
#include "bench/socket_load.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using korvel::bench::CommandRun;
using korvel::bench::cpuSeconds;
using korvel::bench::endLoad;
using korvel::bench::findHelper;
using korvel::bench::median;
using korvel::bench::runCommand;
using korvel::bench::statusKilobytes;
using korvel::bench::stopHelper;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    int processes = 300;
    int connections = 20;
    int udp = 2;
    int pairs = 7;
    int cpuSeconds = 60;
    std::string companion;
};

// Sockets ss attributes to processes ("pid=" once per holder).
size_t ssHeldRows(const std::string& output) {
    size_t rows = 0;
    for (size_t at = output.find("pid="); at != std::string::npos;
         at = output.find("pid=", at + 4)) {
        ++rows;
    }
    return rows;
}

size_t fetchRows(const std::string& json) {
    size_t rows = 0;
    for (size_t at = json.find("\"proto\":"); at != std::string::npos;
         at = json.find("\"proto\":", at + 8)) {
        ++rows;
    }
    return rows;
}

struct Headless {
    pid_t companion = -1;
    pid_t helper = -1;
};

Headless startHeadless(const Options& o, const std::string& runtime) {
    Headless run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(o.companion.c_str()), nullptr};
    const int spawned =
        posix_spawn(&run.companion, o.companion.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s\n", o.companion.c_str());
        run.companion = -1;
        return run;
    }
    // Start-up (three requests in two seconds) passes first.
    std::this_thread::sleep_for(4s);
    run.helper = findHelper(runtime);
    return run;
}

void stopHeadless(const Headless& run) {
    // Never -1: that would signal every process we may.
    if (run.companion > 0) {
        ::kill(run.companion, SIGTERM);
        ::waitpid(run.companion, nullptr, 0);
    }
    if (run.helper > 0) {
        ::kill(run.helper, SIGTERM);
    }
}

std::string memoryLine(const Headless& run) {
    const std::string maps =
        korvel::bench::procFileText("/proc/" + std::to_string(run.companion) + "/maps");
    char line[160];
    std::snprintf(line, sizeof line, "%ld kB (peak %ld kB), GTK %s",
                  statusKilobytes(run.companion, "VmRSS"), statusKilobytes(run.companion, "VmHWM"),
                  maps.find("libgtk") == std::string::npos ? "not mapped" : "mapped");
    return line;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--processes") {
            o.processes = value;
        } else if (flag == "--connections") {
            o.connections = value;
        } else if (flag == "--udp") {
            o.udp = value;
        } else if (flag == "--pairs") {
            o.pairs = std::max(1, value);
        } else if (flag == "--cpu-seconds") {
            o.cpuSeconds = value;
        } else if (flag == "--companion") {
            o.companion = argv[i + 1];
        }
    }
    if (o.companion.empty()) {
        const auto self = std::filesystem::read_symlink("/proc/self/exe");
        o.companion = (self.parent_path() / "korvel-companion").string();
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (::access(o.companion.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "no companion to run at %s\n", o.companion.c_str());
        return 2;
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, korvel::bench::endLoadAndExit);
    }
    const auto base = std::filesystem::temp_directory_path() /
                      ("korvel-command-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(base / "runtime");
    std::filesystem::create_directories(base / "config");
    std::filesystem::permissions(base / "runtime", std::filesystem::perms::owner_all);
    const std::string runtime = (base / "runtime").string();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    ::setenv("HOME", base.c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    std::printf("companion: %s\n", o.companion.c_str());

    std::vector<double> help, version;
    for (int i = 0; i < 15; ++i) {
        help.push_back(runCommand({o.companion, "--help"}).ms);
        version.push_back(runCommand({"/usr/bin/ss", "-V"}).ms);
    }
    std::printf("%-36s %10s %10s %8s\n", "median of pairs", "ms", "peer ms", "ratio");
    std::printf("%-36s %10.2f %10.2f %8.2f  (peer: ss -V, 15 pairs)\n", "korvel-companion --help",
                median(help), median(version), median(help) / median(version));

    runCommand({o.companion, "defaults", "write", "showSystemProcesses", "-bool", "true"});
    const Headless idle = startHeadless(o, runtime);
    const std::string idleMemory = memoryLine(idle);
    stopHeadless(idle);

    if (!korvel::bench::startLoad(o.processes, o.connections, o.udp)) {
        std::fprintf(stderr, "the load did not come up\n");
        endLoad();
        return 1;
    }
    // First each fetch starts a helper of its own, which walks every
    // process; then one helper answers them all, walking only the processes
    // that ran since it last did (the load's processes sleep).
    std::vector<double> coldFetch, coldSs, fetch, ss;
    size_t rows = 0, ssRows = 0;
    for (int i = 0; i < o.pairs; ++i) {
        stopHelper(runtime);
        coldFetch.push_back(runCommand({o.companion, "fetch", "--show-system"}).ms);
        coldSs.push_back(runCommand({"/usr/bin/ss", "-tunap"}).ms);
    }
    for (int i = 0; i < o.pairs; ++i) {
        const auto f = runCommand({o.companion, "fetch", "--show-system"});
        const auto s = runCommand({"/usr/bin/ss", "-tunap"});
        fetch.push_back(f.ms);
        ss.push_back(s.ms);
        rows = fetchRows(f.output);
        ssRows = ssHeldRows(s.output);
    }
    stopHelper(runtime);
    std::printf("%-36s %10.2f %10.2f %8.2f  (peer: ss -tunap, %d pairs; a new helper each)\n",
                "korvel-companion fetch --show-system", median(coldFetch), median(coldSs),
                median(coldFetch) / median(coldSs), o.pairs);
    std::printf("%-36s %10.2f %10.2f %8.2f  (the same, one helper; rows %zu, ss %zu held)\n",
                "korvel-companion fetch --show-system", median(fetch), median(ss),
                median(fetch) / median(ss), rows, ssRows);
    std::printf("load: %d processes x %d TCP (IPv6 over ::ffff:127.0.0.1) + %d UDP, one acceptor\n",
                o.processes, o.connections, o.udp);

    std::printf("\nheadless companion, system processes shown\n");
    std::printf("%-36s %s\n", "RSS before the load", idleMemory.c_str());
    const Headless loaded = startHeadless(o, runtime);
    const double companionStart = cpuSeconds(loaded.companion);
    const double helperStart = loaded.helper > 0 ? cpuSeconds(loaded.helper) : 0;
    const auto wallStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(o.cpuSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const double companionCPU = cpuSeconds(loaded.companion) - companionStart;
    const double helperCPU = loaded.helper > 0 ? cpuSeconds(loaded.helper) - helperStart : 0;
    std::printf("%-36s %s\n", "RSS under the load", memoryLine(loaded).c_str());
    std::printf("%-36s %.2f %% + %.2f %% = %.2f %% of one core over %.0f s\n",
                "CPU companion + helper", 100 * companionCPU / wall, 100 * helperCPU / wall,
                100 * (companionCPU + helperCPU) / wall, wall);
    stopHeadless(loaded);
    endLoad();
    std::filesystem::remove_all(base);
    return 0;
}
