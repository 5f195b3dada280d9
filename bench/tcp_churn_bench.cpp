// How much of the TCP traffic of short connections the engine counts, and for
// whom: a client process opens RATE connections a second to a sink process
// over ::ffff:127.0.0.1, each moving BYTES, either paced over PACED seconds or
// at once and closed. Beside it this program asks a private helper for a
// reading every PERIOD seconds over one connection, as the engine does, and
// adds up what the engine's rates give each process and "other TCP". Then
// the helper's CPU use with IDLE sockets open and nothing connecting (all of
// it, readings included, and that of its thread that hears socket ends and
// runs the socket watcher), and the median time of
// `korvel-companion fetch --show-system` against `ss -tinp`.
//
//   tcp_churn_bench [--seconds S] [--period P] [--rate R] [--bytes B]
//                   [--paced-seconds T] [--idle-sockets N] [--idle-seconds I]

#include "bench/command_run.h"
#include "bench/loopback_address.h"
#include "bench/process_figures.h"
#include "companion/engine/connection_rates.h"
#include "companion/engine/process_merge.h"
#include "companion/link/helper_client.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <new>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using korvel::bench::cpuSeconds;
using korvel::bench::mappedLoopback;
using korvel::bench::median;
using korvel::bench::runCommand;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    double seconds = 60;
    double period = 5;
    int rate = 50;
    size_t bytes = 100000;
    double pacedSeconds = 2;
    int idleSockets = 2000;
    double idleSeconds = 30;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (flag == "--seconds") {
            o.seconds = value;
        } else if (flag == "--period") {
            o.period = std::max(0.5, value);
        } else if (flag == "--rate") {
            o.rate = std::max(1, static_cast<int>(value));
        } else if (flag == "--bytes") {
            o.bytes = static_cast<size_t>(value);
        } else if (flag == "--paced-seconds") {
            o.pacedSeconds = value;
        } else if (flag == "--idle-sockets") {
            o.idleSockets = static_cast<int>(value);
        } else if (flag == "--idle-seconds") {
            o.idleSeconds = value;
        }
    }
    return o;
}

// Written by the load's processes, read here.
struct Truth {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> received{0};
};

std::vector<pid_t> children;

void onSignal(int) {
    for (const pid_t pid : children) {
        ::kill(pid, SIGKILL);
    }
    ::_exit(130);
}

pid_t forkChild(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    children.push_back(pid);
    return pid;
}

void allowDescriptors() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Accepts every connection and reads each to its end.
void sink(int listener, Truth& truth) {
    allowDescriptors();
    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ::poll(fds.data(), fds.size(), -1);
        for (size_t i = fds.size(); i-- > 1;) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n > 0) {
                truth.received += static_cast<uint64_t>(n);
                continue;
            }
            ::close(fds[i].fd);
            fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
            }
        }
    }
}

// Opens `rate` connections a second for `seconds`; each sends `bytes`, spread
// evenly over `paced` seconds (0: at once), and is closed.
void churn(uint16_t port, const Options& o, bool paced, Truth& truth) {
    allowDescriptors();
    struct Open {
        int fd;
        Clock::time_point start;
        size_t sent;
    };
    std::vector<Open> open;
    const std::vector<char> payload(o.bytes, 'x');
    const sockaddr_in6 to = mappedLoopback(port);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(o.seconds);
    long opened = 0;
    while (Clock::now() < end || !open.empty()) {
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        for (; now < end && opened < static_cast<long>(elapsed * o.rate); ++opened) {
            const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
                open.push_back({fd, now, 0});
            } else {
                ::close(fd);
            }
        }
        for (auto it = open.begin(); it != open.end();) {
            const double share =
                paced ? std::chrono::duration<double>(now - it->start).count() / o.pacedSeconds : 1;
            const size_t due = std::min(o.bytes, static_cast<size_t>(share * o.bytes));
            while (it->sent < due) {
                const ssize_t n = ::send(it->fd, payload.data(), due - it->sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                it->sent += static_cast<size_t>(n);
                truth.sent += static_cast<uint64_t>(n);
            }
            if (it->sent >= o.bytes) {
                ::close(it->fd);
                it = open.erase(it);
            } else {
                ++it;
            }
        }
        std::this_thread::sleep_for(paced ? 10ms : 1ms);
    }
    // Listed still, so that its last sockets' ends count for it.
    for (;;) {
        ::pause();
    }
}

// The CPU seconds of the helper and of its thread that hears socket ends
// and runs the watcher.
struct HelperCPU {
    double helper = 0;
    double sockets = 0;
};

HelperCPU helperCPU(pid_t helper) {
    HelperCPU cpu;
    if (helper <= 0) {
        return cpu;
    }
    cpu.helper = cpuSeconds(helper);
    const std::filesystem::path tasks = "/proc/" + std::to_string(helper) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        if (korvel::bench::procFileText(task.path() / "comm") == "korvel-sockets\n") {
            cpu.sockets = cpuSeconds(task.path() / "stat");
        }
    }
    return cpu;
}

// Percent of one core each used since `start`, over `wall` seconds.
std::pair<double, double> cpuPercent(pid_t helper, const HelperCPU& start, double wall) {
    const HelperCPU now = helperCPU(helper);
    return {100 * (now.helper - start.helper) / wall, 100 * (now.sockets - start.sockets) / wall};
}

korvel::HelperResponse fetchReading() {
    std::promise<korvel::HelperResponse> done;
    korvel::HelperClient::shared()->fetchData(
        true, [&done](korvel::HelperResponse r) { done.set_value(std::move(r)); });
    return done.get_future().get();
}

// What the engine's rates gave over a run, in bytes.
struct Counted {
    double churnerOut = 0;
    double sinkIn = 0;
    double otherOut = 0;
    double otherIn = 0;
};

// One reading folded in as the engine folds it.
void fold(const korvel::HelperResponse& r, korvel::ConnectionCounterMemory& memory, pid_t churner,
          pid_t sinkPid, Counted& counted) {
    const std::optional<double> before = memory.readingTime;
    korvel::ConnectionsByPID groups = korvel::groupConnections(r.connections);
    std::vector<korvel::NetProcess> processes;
    for (const auto& row : r.processes) {
        korvel::NetProcess process;
        process.id = row.pid;
        process.connections = std::move(groups[row.pid]);
        processes.push_back(std::move(process));
    }
    korvel::EndedTcpSockets ended{&r.endedConnections, std::nullopt};
    if (r.unattributedTcpBytesIn && r.unattributedTcpBytesOut) {
        ended.unattributed = {*r.unattributedTcpBytesIn, *r.unattributedTcpBytesOut};
    }
    const auto other =
        korvel::applyConnectionRates(processes, memory, r.timestamp, true, ended).other;
    if (!before || !other) {
        return;
    }
    for (const auto& process : processes) {
        if (process.id == churner) {
            counted.churnerOut += static_cast<double>(process.bytesUsed.bytesOut);
        } else if (process.id == sinkPid) {
            counted.sinkIn += static_cast<double>(process.bytesUsed.bytesIn);
        }
    }
    counted.otherOut += static_cast<double>(other->bytesOut);
    counted.otherIn += static_cast<double>(other->bytesIn);
}

int listenOnLoopback(uint16_t& port) {
    const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address = mappedLoopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    port = ntohs(address.sin6_port);
    return listener;
}

void printRow(const char* load, const char* direction, double truth, double process, double other,
              std::pair<double, double> cpu) {
    std::printf("%-15s %-4s %9.2f %10.2f %9.2f %9.2f %8.1f %8.1f %8.2f %8.2f\n", load, direction,
                truth / 1e6, process / 1e6, other / 1e6, (truth - process - other) / 1e6,
                100 * process / truth, 100 * (process + other) / truth, cpu.first, cpu.second);
}

void stopChildren() {
    for (const pid_t pid : children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    children.clear();
}

// One churn load beside readings every period; prints its two rows.
void runChurn(const Options& o, bool paced, Truth& truth, const std::string& runtime) {
    truth.sent = 0;
    truth.received = 0;
    uint16_t port = 0;
    const int listener = listenOnLoopback(port);
    const pid_t sinkPid = forkChild([&] { sink(listener, truth); });
    ::close(listener);
    korvel::ConnectionCounterMemory memory;
    Counted counted;
    fold(fetchReading(), memory, -1, sinkPid, counted);
    const pid_t helper = korvel::bench::findHelper(runtime);
    const HelperCPU cpuStart = helperCPU(helper);
    const auto wallStart = Clock::now();
    const pid_t churner = forkChild([&] { churn(port, o, paced, truth); });
    // Two readings after the load, so the last connections' ends are told.
    const int readings =
        static_cast<int>((o.seconds + (paced ? o.pacedSeconds : 0)) / o.period) + 3;
    for (int i = 0; i < readings; ++i) {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.period));
        fold(fetchReading(), memory, churner, sinkPid, counted);
    }
    const auto cpu = cpuPercent(helper, cpuStart,
                                std::chrono::duration<double>(Clock::now() - wallStart).count());
    const char* name = paced ? "paced churn" : "instant churn";
    printRow(name, "out", static_cast<double>(truth.sent), counted.churnerOut, counted.otherOut,
             cpu);
    printRow(name, "in", static_cast<double>(truth.received), counted.sinkIn, counted.otherIn, cpu);
    stopChildren();
    // The load's connections still open end with its processes; a reading
    // takes their ends, or the next load would count them as other TCP.
    std::this_thread::sleep_for(1s);
    fetchReading();
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, onSignal);
    }
    const auto base = std::filesystem::temp_directory_path() /
                      ("korvel-tcp-churn-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(base / "runtime");
    std::filesystem::permissions(base / "runtime", std::filesystem::perms::owner_all);
    const std::string runtime = (base / "runtime").string();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("HOME", base.c_str(), 1);
    void* shared =
        ::mmap(nullptr, sizeof(Truth), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        return 1;
    }
    Truth& truth = *new (shared) Truth;

    std::printf("%d connections/s x %zu bytes for %.0f s, a reading every %.1f s\n", o.rate,
                o.bytes, o.seconds, o.period);
    std::printf("%-15s %-4s %9s %10s %9s %9s %8s %8s %8s %8s\n", "load", "dir", "true MB",
                "process MB", "other MB", "missed MB", "process%", "counted%", "helper%",
                "thread%");
    runChurn(o, true, truth, runtime);
    runChurn(o, false, truth, runtime);

    // Idle sockets: pairs held open by one process, nothing connecting.
    uint16_t port = 0;
    const int listener = listenOnLoopback(port);
    int ready[2];
    if (listener < 0 || ::pipe(ready) != 0) {
        return 1;
    }
    forkChild([&] {
        allowDescriptors();
        std::vector<int> held;
        const sockaddr_in6 to = mappedLoopback(port);
        for (int i = 0; i < o.idleSockets / 2; ++i) {
            const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
                held.push_back(fd);
                held.push_back(::accept(listener, nullptr, nullptr));
            }
        }
        (void)!::write(ready[1], "x", 1);
        for (;;) {
            ::pause();
        }
    });
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);
    fetchReading();
    // The watcher finds the new sockets' holders once; the idle cost is after.
    std::this_thread::sleep_for(1s);
    const pid_t helper = korvel::bench::findHelper(runtime);
    const HelperCPU cpuStart = helperCPU(helper);
    const auto wallStart = Clock::now();
    for (double waited = 0; waited < o.idleSeconds; waited += o.period) {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.period));
        fetchReading();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const auto idle = cpuPercent(helper, cpuStart, wall);
    std::printf("%-20s helper %.2f %%, its socket thread %.3f %% of a core; %d sockets, %.0f s\n",
                "idle", idle.first, idle.second, o.idleSockets, wall);

    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string companion = (self.parent_path() / "korvel-companion").string();
    std::vector<double> fetch, ss;
    for (int i = 0; i < 5; ++i) {
        fetch.push_back(runCommand({companion, "fetch", "--show-system"}).ms);
        ss.push_back(runCommand({"/usr/bin/ss", "-tinp"}).ms);
    }
    std::printf("%-20s fetch --show-system %.1f ms, ss -tinp %.1f ms, ratio %.2f (medians of 5)\n",
                "fetch vs ss", median(fetch), median(ss), median(fetch) / median(ss));
    stopChildren();
    korvel::bench::stopHelper(runtime);
    std::filesystem::remove_all(base);
    return 0;
}
