// One helper fetch against `ss -tunap` and `lsof -i -n -P` on a socket load of
// our own: many processes holding loopback TCP connections and UDP sockets,
// the accepting ends held by one more process. Prints median wall times side
// by side, their ratios, the rows each produced and the helper's peak RSS.
//
//   process_table_bench [--processes N] [--connections M] [--udp K]
//                       [--v4-pairs P] [--runs R] [--lsof-runs L] [--time-limit S]
//                       [--gpu-descriptors G]
//
// Then the cost of GPU clients: the process table of a fixture tree of 300
// processes holding G DRM descriptors with fdinfo between them (a tenth
// shared), against the same tree whose descriptors are not GPU nodes.
//
// Most connections are IPv6 sockets reaching an IPv6 listener over
// ::ffff:127.0.0.1, which the reply keeps on both ends; P of each process's M
// connections go over plain 127.0.0.1, which the reply leaves out by design.

#include "bench/command_run.h"
#include "bench/loopback_address.h"
#include "bench/process_figures.h"
#include "companion/link/helper_connection.h"
#include "helper/process_table.h"
#include "helper/system_process.h"
#include "platform/service/connection.h"
#include "shared/helper_protocol.h"
#include "shared/helper_response.h"

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
#include <future>
#include <iterator>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using korvel::bench::CommandRun;
using korvel::bench::mappedLoopback;
using korvel::bench::median;
using korvel::bench::runCommand;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    int processes = 500;
    int connections = 20;
    int udp = 2;
    int v4Pairs = 2;
    int runs = 9;
    int gpuDescriptors = 3000;
    int lsofRuns = 3;
    int timeLimitSeconds = 300;
};

// Everything we started, for the exit paths (including signal handlers).
constexpr int kMaxChildren = 8192;
volatile sig_atomic_t childCount = 0;
pid_t children[kMaxChildren];
volatile pid_t helperPid = 0;

void killEverything() {
    for (int i = 0; i < childCount; ++i) {
        ::kill(children[i], SIGKILL);
    }
    if (helperPid > 0) {
        ::kill(helperPid, SIGKILL);
    }
}

void onSignal(int) {
    killEverything();
    ::_exit(130);
}

void remember(pid_t pid) {
    if (childCount < kMaxChildren) {
        children[childCount] = pid;
        childCount = childCount + 1;
    }
}

void reapChildren() {
    killEverything();
    for (int i = 0; i < childCount; ++i) {
        ::waitpid(children[i], nullptr, 0);
    }
    childCount = 0;
}

sockaddr_in v4Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

template <typename Address> int listenOn(int family, Address address, uint16_t& port) {
    const int fd = ::socket(family, SOCK_STREAM, 0);
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == AF_INET6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero); // reachable over IPv4
    }
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4096) != 0) {
        std::perror("listener");
        std::exit(1);
    }
    Address bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port); // same offset in both
    return fd;
}

// The accepting side: holds every accepted connection until the lifeline closes.
[[noreturn]] void runAcceptor(int v6Listener, int v4Listener, int lifeline) {
    std::vector<int> held;
    pollfd fds[3] = {{v6Listener, POLLIN, 0}, {v4Listener, POLLIN, 0}, {lifeline, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 3, -1) < 0) {
            continue;
        }
        if (fds[2].revents != 0) {
            ::_exit(0);
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & POLLIN) {
                const int fd = ::accept4(fds[i].fd, nullptr, nullptr, 0);
                if (fd >= 0) {
                    held.push_back(fd);
                }
            }
        }
    }
}

// One load process: its connections and UDP sockets, then waits for the lifeline.
[[noreturn]] void runClient(const Options& options, uint16_t v6Port, uint16_t v4Port, int lifeline,
                            int ready) {
    for (int i = 0; i < options.connections; ++i) {
        const bool v4 = i < options.v4Pairs;
        const int fd = ::socket(v4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
        int result;
        if (v4) {
            const sockaddr_in to = v4Loopback(v4Port);
            result = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        } else {
            const sockaddr_in6 to = mappedLoopback(v6Port);
            result = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
        if (result != 0) {
            ::_exit(2);
        }
    }
    for (int i = 0; i < options.udp; ++i) {
        if (i % 2 == 0) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            const sockaddr_in at = v4Loopback(0);
            ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        } else {
            const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
            const sockaddr_in6 to = mappedLoopback(v6Port);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }
    const char byte = 1;
    (void)!::write(ready, &byte, 1);
    ::close(ready);
    char sink;
    while (::read(lifeline, &sink, 1) != 0) {
    }
    ::_exit(0);
}

bool startLoad(const Options& options, int& lifelineWrite) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t needed = static_cast<rlim_t>(options.processes) * options.connections + 4096;
    if (limit.rlim_cur < needed) {
        limit.rlim_cur = std::min<rlim_t>(std::max(needed, limit.rlim_cur), limit.rlim_max);
        if (limit.rlim_cur < needed && limit.rlim_max < needed) {
            limit.rlim_cur = limit.rlim_max = needed; // raising the hard limit needs privilege
        }
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            std::fprintf(stderr, "cannot raise the descriptor limit to %llu\n",
                         static_cast<unsigned long long>(needed));
            return false;
        }
    }

    int lifeline[2];
    int ready[2];
    if (::pipe(lifeline) != 0 || ::pipe(ready) != 0) {
        return false;
    }
    // Our end of the lifeline must not leak into the helper, ss or lsof.
    ::fcntl(lifeline[1], F_SETFD, FD_CLOEXEC);
    uint16_t v6Port = 0, v4Port = 0;
    sockaddr_in6 v6Any = mappedLoopback(0);
    const int v6Listener = listenOn(AF_INET6, v6Any, v6Port);
    const int v4Listener = listenOn(AF_INET, v4Loopback(0), v4Port);

    const pid_t acceptor = ::fork();
    if (acceptor == 0) {
        ::close(lifeline[1]);
        ::close(ready[0]);
        ::close(ready[1]);
        runAcceptor(v6Listener, v4Listener, lifeline[0]);
    }
    remember(acceptor);
    ::close(v6Listener);
    ::close(v4Listener);

    for (int i = 0; i < options.processes; ++i) {
        const pid_t client = ::fork();
        if (client == 0) {
            ::close(lifeline[1]);
            ::close(ready[0]);
            runClient(options, v6Port, v4Port, lifeline[0], ready[1]);
        }
        if (client < 0) {
            std::perror("fork");
            return false;
        }
        remember(client);
    }
    ::close(lifeline[0]);
    ::close(ready[1]);
    int arrived = 0;
    const auto deadline = Clock::now() + 60s;
    char buffer[256];
    while (arrived < options.processes && Clock::now() < deadline) {
        pollfd fd{ready[0], POLLIN, 0};
        if (::poll(&fd, 1, 1000) > 0) {
            const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
            if (n <= 0) {
                break; // every client gone
            }
            arrived += static_cast<int>(n);
        }
    }
    ::close(ready[0]);
    lifelineWrite = lifeline[1];
    if (arrived < options.processes) {
        std::fprintf(stderr, "only %d of %d load processes came up\n", arrived, options.processes);
        return false;
    }
    std::this_thread::sleep_for(300ms); // let the acceptor drain its queue
    return true;
}

struct FetchRun {
    double ms = 0;
    std::optional<korvel::HelperResponse> response;
};

FetchRun fetchOnce(korvel::platform::service::Connection& connection) {
    auto promise = std::make_shared<std::promise<std::optional<std::string>>>();
    auto reply = promise->get_future();
    const auto start = Clock::now();
    connection.send(
        {korvel::kFetchDataSelector, true},
        [promise](const korvel::platform::service::Reply& bytes) { promise->set_value(bytes); },
        [promise](const std::string&) { promise->set_value(std::nullopt); });
    FetchRun run;
    if (reply.wait_for(60s) != std::future_status::ready) {
        return run;
    }
    const auto bytes = reply.get();
    if (bytes) {
        run.response = korvel::decodeHelperResponse(*bytes);
    }
    run.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return run;
}

size_t lineCount(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Descriptors ss attributes to processes, one per "pid=", leaving out the TCP
// pairs with both ends on loopback that the reply drops by design.
size_t ssAttributedRows(const std::string& output, size_t& loopbackPairs) {
    size_t rows = 0;
    loopbackPairs = 0;
    std::istringstream lines(output);
    std::string line;
    std::getline(lines, line); // header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string netid, state, recvQ, sendQ, local, peer;
        fields >> netid >> state >> recvQ >> sendQ >> local >> peer;
        size_t holders = 0;
        for (size_t at = line.find("pid="); at != std::string::npos;
             at = line.find("pid=", at + 4)) {
            ++holders;
        }
        const bool loopback = (local.starts_with("127.") && peer.starts_with("127.")) ||
                              (local.starts_with("[::1]:") && peer.starts_with("[::1]:"));
        if (netid == "tcp" && loopback) {
            loopbackPairs += holders;
        } else {
            rows += holders;
        }
    }
    return rows;
}

std::string statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) {
            std::string value = line.substr(field.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return "?";
}

bool parseOptions(int argc, char** argv, Options& options) {
    const std::pair<const char*, int*> flags[] = {
        {"--processes", &options.processes},
        {"--connections", &options.connections},
        {"--udp", &options.udp},
        {"--v4-pairs", &options.v4Pairs},
        {"--runs", &options.runs},
        {"--lsof-runs", &options.lsofRuns},
        {"--time-limit", &options.timeLimitSeconds},
        {"--gpu-descriptors", &options.gpuDescriptors},
    };
    for (int i = 1; i + 1 < argc; i += 2) {
        const auto flag = std::find_if(std::begin(flags), std::end(flags), [&](const auto& f) {
            return argv[i] == std::string(f.first);
        });
        if (flag == std::end(flags)) {
            return false;
        }
        *flag->second = std::atoi(argv[i + 1]);
    }
    return argc % 2 == 1 && options.processes >= 0 && options.processes < kMaxChildren &&
           options.runs > 0 && options.connections >= 0 && options.v4Pairs >= 0 &&
           options.v4Pairs <= options.connections && options.timeLimitSeconds > 0 &&
           options.gpuDescriptors >= 0;
}

// A proc tree of `processes` pids sharing `descriptors` descriptors, each
// pointing at `target`, with an amdgpu fdinfo beside it.
void writeGpuTree(const std::filesystem::path& root, int processes, int descriptors,
                  const std::string& target) {
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        std::filesystem::create_directories(root / "net");
        std::ofstream(root / "net" / table) << "  sl  local_address rem_address   st\n";
    }
    for (int i = 0; i < processes; ++i) {
        const std::filesystem::path pid = root / std::to_string(1000 + i);
        std::filesystem::create_directories(pid / "fd");
        std::filesystem::create_directories(pid / "fdinfo");
        std::string stat = std::to_string(1000 + i) +
                           " (gpu) S 1 1 1 0 -1 4194304 10 0 0 0 5 5 0 0 20 0 1 0 100 4194304 10";
        for (int field = 26; field <= 52; ++field) {
            stat += " 0";
        }
        std::ofstream(pid / "stat") << stat << "\n";
        std::ofstream(pid / "io") << "read_bytes: 4096\nwrite_bytes: 8192\n"
                                     "cancelled_write_bytes: 0\n";
        std::filesystem::create_symlink("/usr/bin/true", pid / "exe");
    }
    for (int d = 0; d < descriptors; ++d) {
        const std::filesystem::path pid = root / std::to_string(1000 + d % processes);
        const int fd = 3 + d / processes;
        std::filesystem::create_symlink(target, pid / "fd" / std::to_string(fd));
        // Every tenth client is held by two descriptors.
        std::ofstream(pid / "fdinfo" / std::to_string(fd))
            << "pos:\t0\nflags:\t02100002\ndrm-driver:\tamdgpu\ndrm-pdev:\t0000:03:00.0\n"
            << "drm-client-id:\t" << (d % 10 == 9 ? d - 1 : d) << "\n"
            << "drm-memory-vram:\t4096 KiB\ndrm-memory-gtt:\t512 KiB\n"
            << "drm-engine-gfx:\t" << 1000 * d << " ns\ndrm-engine-compute:\t0 ns\n"
            << "drm-engine-dec:\t0 ns\ndrm-engine-enc:\t0 ns\n";
    }
}

// The median milliseconds of one process table over the tree.
double tableMs(const std::filesystem::path& root, int processes, int runs) {
    korvel::platform::proc::ProcSourceOptions options;
    options.root = root.string();
    options.useNetlink = false;
    korvel::platform::proc::ProcSource source(options);
    std::vector<int32_t> pids;
    for (int i = 0; i < processes; ++i) {
        pids.push_back(1000 + i);
    }
    const korvel::SystemProcessRule rule{std::nullopt, std::nullopt};
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        std::vector<korvel::HelperConnectionData> connections;
        const auto start = Clock::now();
        korvel::collectProcessTable(source, pids, true, rule, connections, 1);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return median(ms);
}

void printGpuClientCost(int descriptors, int runs) {
    constexpr int kProcesses = 300;
    char rootTemplate[] = "/tmp/korvel-gpu-bench-XXXXXX";
    const std::filesystem::path root = ::mkdtemp(rootTemplate);
    writeGpuTree(root / "gpu", kProcesses, descriptors, "/dev/dri/renderD128");
    writeGpuTree(root / "plain", kProcesses, descriptors, "/dev/null");
    const double plain = tableMs(root / "plain", kProcesses, runs);
    const double gpu = tableMs(root / "gpu", kProcesses, runs);
    std::printf("\nprocess table of %d fixture processes, one walker, %d runs\n", kProcesses, runs);
    std::printf("%-34s %10s\n", "", "median ms");
    std::printf("%-34s %10.2f\n", "descriptors that are no GPU node", plain);
    std::printf("%-34s %10.2f  (%d DRM descriptors)\n", "descriptors of GPU clients", gpu,
                descriptors);
    std::printf("added by the GPU clients: %.2f ms per reading, %.1f us per descriptor\n",
                gpu - plain, descriptors > 0 ? (gpu - plain) * 1000 / descriptors : 0.0);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--processes N] [--connections M] [--udp K] [--v4-pairs P] "
                     "[--runs R] [--lsof-runs L] [--time-limit S] [--gpu-descriptors G]\n",
                     argv[0]);
        return 2;
    }
    const auto benchStart = Clock::now();
    const auto benchDeadline = benchStart + std::chrono::seconds(options.timeLimitSeconds);
    std::signal(SIGPIPE, SIG_IGN);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, onSignal);
    }
    // A helper of our own, in a runtime directory nobody else uses.
    char runtimeTemplate[] = "/tmp/korvel-bench-XXXXXX";
    const std::string runtimeDir = ::mkdtemp(runtimeTemplate);
    ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);

    int lifeline = -1;
    const bool loaded = startLoad(options, lifeline);
    int exitCode = 1;
    if (loaded) {
        const auto loadReady = Clock::now();
        auto connection = korvel::makeHelperConnection();
        connection->resume();
        const FetchRun warm = fetchOnce(*connection); // starts the helper
        if (const pid_t pid = korvel::bench::findHelper(runtimeDir); pid > 0) {
            helperPid = pid;
        }
        if (!warm.response) {
            std::fprintf(stderr, "the helper gave no reply\n");
        } else {
            std::vector<double> fetchMs, ssMs, lsofMs;
            size_t fetchRows = 0, fetchProcesses = 0, ssLines = 0, ssRows = 0, ssLoopback = 0,
                   lsofLines = 0;
            runCommand({"/usr/bin/ss", "-tunap"}, 60s); // warm the page cache for both tools
            // A helper started for the request walks every process; one that
            // served the last request walks only those that ran since.
            std::vector<double> coldMs;
            for (int round = 0; round < options.runs && Clock::now() < benchDeadline; ++round) {
                korvel::bench::stopHelper(runtimeDir);
                // As a new command would: a connection of its own.
                auto fresh = korvel::makeHelperConnection();
                fresh->resume();
                if (const FetchRun cold = fetchOnce(*fresh); cold.response) {
                    coldMs.push_back(cold.ms);
                }
                fresh->invalidate();
            }
            helperPid = korvel::bench::findHelper(runtimeDir);
            for (int round = 0; round < options.runs && Clock::now() < benchDeadline; ++round) {
                const FetchRun fetch = fetchOnce(*connection);
                if (fetch.response) {
                    fetchMs.push_back(fetch.ms);
                    fetchRows = fetch.response->connections.size();
                    fetchProcesses = fetch.response->processes.size();
                }
                const CommandRun ss = runCommand({"/usr/bin/ss", "-tunap"}, 60s);
                if (ss.ok) {
                    ssMs.push_back(ss.ms);
                    ssLines = lineCount(ss.output) - 1;
                    ssRows = ssAttributedRows(ss.output, ssLoopback);
                }
                if (round < options.lsofRuns) {
                    const CommandRun lsof = runCommand({"/usr/bin/lsof", "-i", "-n", "-P"}, 120s);
                    if (!lsof.output.empty()) { // lsof exits 1 on harmless warnings
                        lsofMs.push_back(lsof.ms);
                        lsofLines = lineCount(lsof.output) - 1;
                    }
                }
            }
            const double fetch = median(fetchMs);
            const double ss = median(ssMs);
            const double lsof = median(lsofMs);
            const auto ratio = [fetch](double other) { return fetch > 0 ? other / fetch : 0.0; };
            const std::string hwm = helperPid > 0 ? statusField(helperPid, "VmHWM") : "?";

            std::printf("load: %d processes x %d TCP connections (%d of them 127.0.0.1 pairs) "
                        "+ %d UDP sockets, one acceptor; set up in %.1f s\n",
                        options.processes, options.connections, options.v4Pairs, options.udp,
                        std::chrono::duration<double>(loadReady - benchStart).count());
            std::printf("%-22s %10s %8s %6s %10s\n", "", "median ms", "x fetch", "runs", "rows");
            std::printf("%-22s %10.2f %8.2f %6zu %10s  (a new helper each time)\n",
                        "helper fetch, cold", median(coldMs),
                        fetch > 0 ? median(coldMs) / fetch : 0, coldMs.size(), "");
            std::printf("%-22s %10.2f %8.2f %6zu %10zu  (%zu processes)\n", "helper fetch", fetch,
                        1.0, fetchMs.size(), fetchRows, fetchProcesses);
            std::printf("%-22s %10.2f %8.2f %6zu %10zu  (%zu held by processes, %zu of them "
                        "loopback TCP pairs)\n",
                        "ss -tunap", ss, ratio(ss), ssMs.size(), ssLines, ssRows + ssLoopback,
                        ssLoopback);
            std::printf("%-22s %10.2f %8.2f %6zu %10zu\n", "lsof -i -n -P", lsof, ratio(lsof),
                        lsofMs.size(), lsofLines);
            std::printf("helper peak RSS (VmHWM): %s\n", hwm.c_str());
            std::printf("fetch / ss = %.2f, cold fetch / ss = %.2f\n", ss > 0 ? fetch / ss : 0.0,
                        ss > 0 ? median(coldMs) / ss : 0.0);
            std::printf("rows: helper %zu, ss held by processes minus loopback TCP pairs %zu%s\n",
                        fetchRows, ssRows, fetchRows == ssRows ? " (equal)" : " (differ)");
            exitCode = fetchMs.empty() || ssMs.empty() ? 1 : 0;
        }
        if (options.gpuDescriptors > 0) {
            printGpuClientCost(options.gpuDescriptors, options.runs);
        }
        connection->invalidate();
    }
    if (lifeline >= 0) {
        ::close(lifeline);
    }
    reapChildren();
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir, ignored);
    return exitCode;
}
