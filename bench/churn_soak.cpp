// A soak of the real programs under churn: the headless companion at a 1 s
// period with private XDG directories, its helper killed every few seconds,
// hundreds of short-lived processes with sockets per second, the settings
// rewritten from the command line, and a reader polling the snapshot.
//
//   churn_soak [MINUTES] [--spawn-rate N] [--kill-every S] [--rewrite-every S]
//
// MINUTES may be a fraction (default 2). The companion and the helper are the
// ones beside this program, so the sanitizer build soaks its own binaries.

#include "bench/process_figures.h"
#include "companion/link/advanced_snapshot.h"
#include "shared/helper_response.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
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
#include <set>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using korvel::bench::findHelper;
using korvel::bench::statusKilobytes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
    double minutes = 2;
    int spawnRate = 300;
    double killEvery = 3;
    double rewriteEvery = 2;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool hasValue = i + 1 < argc;
        if (word == "--spawn-rate" && hasValue) {
            o.spawnRate = std::atoi(argv[++i]);
        } else if (word == "--kill-every" && hasValue) {
            o.killEvery = std::atof(argv[++i]);
        } else if (word == "--rewrite-every" && hasValue) {
            o.rewriteEvery = std::atof(argv[++i]);
        } else {
            o.minutes = std::atof(word.c_str());
        }
    }
    return o;
}

std::string readFile(const fs::path& path, bool& opened) {
    std::ifstream in(path, std::ios::binary);
    opened = static_cast<bool>(in);
    return opened ? std::string((std::istreambuf_iterator<char>(in)), {}) : std::string();
}

pid_t spawn(const std::vector<std::string>& args, int out, int err) {
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int runToEnd(const std::vector<std::string>& args, int err) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = spawn(args, null, err);
    ::close(null);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct Figures {
    std::atomic<long> refreshes{0};
    std::atomic<long> snapshots{0};
    std::atomic<long> reads{0};
    std::atomic<long> tornReads{0};
    std::atomic<long> documents{0};
    std::atomic<long> removals{0};
    std::atomic<long> kills{0};
    std::atomic<long> rewrites{0};
    std::atomic<long> settingsLost{0};
    std::set<pid_t> helpers;
};

// A loopback listener the children connect to; it takes and drops them.
class Sink {
public:
    Sink() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_, 1024);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        address_ = address;
    }
    ~Sink() { ::close(fd_); }
    const sockaddr_in& address() const { return address_; }
    void serve(const std::atomic<bool>& stop) {
        pollfd p{fd_, POLLIN, 0};
        while (!stop) {
            if (::poll(&p, 1, 100) > 0) {
                const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) {
                    ::close(client);
                }
            }
        }
    }

private:
    int fd_;
    sockaddr_in address_{};
};

// After fork only async-signal-safe calls: a TCP connection and a UDP socket,
// held for a few milliseconds, the way a short-lived tool's are.
[[noreturn]] void childBody(const sockaddr_in& sink, long serial) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(tcp, reinterpret_cast<const sockaddr*>(&sink), sizeof sink);
    const int udp = ::socket(serial % 2 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage any{};
    any.ss_family = serial % 2 ? AF_INET6 : AF_INET;
    ::bind(udp, reinterpret_cast<const sockaddr*>(&any),
           serial % 2 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    const timespec hold{0, (5 + serial % 40) * 1'000'000L};
    ::nanosleep(&hold, nullptr);
    ::_exit(0);
}

// Lives in memory shared with the churning process.
struct ChurnControl {
    std::atomic<bool> start{false};
    std::atomic<bool> stop{false};
    std::atomic<long> children{0};
};

// Runs in a process of its own, forked before this one grew: a fork copies the
// parent's page tables, and a sanitizer build's soak holds hundreds of
// megabytes, which would cap the churn at a few dozen processes a second.
void churn(const Options& o, const Sink& sink, ChurnControl& control) {
    while (!control.start && !control.stop) {
        std::this_thread::sleep_for(10ms);
    }
    const auto period = std::chrono::duration<double>(1.0 / std::max(1, o.spawnRate));
    auto next = Clock::now();
    long serial = 0;
    // Only our own children: the main thread waits for the commands it runs.
    std::vector<pid_t> running;
    const auto reap = [&](int flags) {
        std::erase_if(running, [&](pid_t pid) { return ::waitpid(pid, nullptr, flags) == pid; });
    };
    while (!control.stop) {
        const pid_t child = ::fork();
        if (child == 0) {
            childBody(sink.address(), serial);
        }
        if (child > 0) {
            ++serial;
            ++control.children;
            running.push_back(child);
        }
        reap(WNOHANG);
        // Behind by more than a second (a slow fork): pace from now instead.
        next =
            std::max(next + std::chrono::duration_cast<Clock::duration>(period), Clock::now() - 1s);
        std::this_thread::sleep_until(next);
    }
    reap(0);
}

// Reads the snapshot as another program would, whole, as often as it can.
// A document is decoded once: the same bytes read again cannot read otherwise.
void readSnapshots(const fs::path& snapshot, const std::atomic<bool>& stop, Figures& figures,
                   std::vector<std::string>& tornSamples) {
    ino_t lastInode = 0;
    bool present = false;
    std::string lastText;
    while (!stop) {
        struct stat st {};
        if (::stat(snapshot.c_str(), &st) == 0 && st.st_ino != lastInode) {
            lastInode = st.st_ino;
            ++figures.snapshots;
        }
        bool opened = false;
        std::string text = readFile(snapshot, opened);
        ++figures.reads;
        if (!opened) {
            figures.removals += present;
        } else if (text != lastText) {
            ++figures.documents;
            if (!korvel::decodeHelperResponse(text)) {
                ++figures.tornReads;
                if (tornSamples.size() < 3) {
                    tornSamples.push_back(text.substr(0, 200));
                }
            }
            lastText = std::move(text);
        }
        present = opened;
        std::this_thread::sleep_for(5ms);
    }
}

void countRefreshes(int terminal, const std::atomic<bool>& stop, Figures& figures) {
    std::string pending;
    char buffer[4096];
    pollfd p{terminal, POLLIN, 0};
    while (!stop) {
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            // A status line starts with the clock: "12:34:56  ...".
            if (end >= 8 && pending[2] == ':' && pending[5] == ':') {
                ++figures.refreshes;
            }
            pending.erase(0, end + 1);
        }
    }
}

// The sentinel and the last counter value written must both be on disk.
bool settingsIntact(const fs::path& file, const std::string& sentinel, long counter) {
    bool opened = false;
    const auto json = nlohmann::json::parse(readFile(file, opened), nullptr, false);
    return json.is_object() && json.value("churnSentinel", "") == sentinel &&
           json.value("churnCounter", -1L) == counter;
}

long countReports(const fs::path& log) {
    bool opened = false;
    const std::string text = readFile(log, opened);
    long reports = 0;
    for (const char* marker :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
        for (size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + 1)) {
            ++reports;
        }
    }
    return reports;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    Sink sink;
    auto* control = new (::mmap(nullptr, sizeof(ChurnControl), PROT_READ | PROT_WRITE,
                                MAP_SHARED | MAP_ANONYMOUS, -1, 0)) ChurnControl;
    const pid_t churner = ::fork();
    if (churner == 0) {
        churn(o, sink, *control);
        ::_exit(0);
    }
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const std::string companion = (bin / "korvel-companion").string();
    const fs::path base =
        fs::temp_directory_path() / ("korvel-churn-" + std::to_string(::getpid()));
    fs::create_directories(base / "runtime");
    fs::create_directories(base / "config");
    fs::create_directories(base / "home");
    fs::permissions(base / "runtime", fs::perms::owner_all);
    const std::string runtime = (base / "runtime").string();
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
    ::setenv("HOME", (base / "home").c_str(), 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
        ::unsetenv(name);
    }
    const fs::path settingsFile = base / "config/qn.Korvel.companion/defaults.json";
    const auto snapshotPlace = korvel::advancedSnapshotURL();
    if (!snapshotPlace) {
        std::fprintf(stderr, "churn_soak: the companion would have no snapshot location\n");
        return 1;
    }
    const fs::path snapshot = *snapshotPlace;
    const fs::path log = base / "companion.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);

    const std::string sentinel = "keep-" + std::to_string(::getpid());
    runToEnd({companion, "defaults", "write", "autoRefreshInterval", "1"}, logFd);
    runToEnd({companion, "defaults", "write", "churnSentinel", "-string", sentinel}, logFd);
    runToEnd({companion, "defaults", "write", "churnCounter", "0"}, logFd);

    // On a terminal the engine prints a line per refresh: give it one.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::grantpt(master);
    ::unlockpt(master);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const pid_t engine = spawn({companion}, terminal, logFd);
    if (engine < 0) {
        std::fprintf(stderr, "cannot start %s\n", companion.c_str());
        return 1;
    }

    Figures figures;
    std::vector<std::string> tornSamples;
    std::vector<std::string> lossSamples;
    std::atomic<bool> stop{false};
    std::thread sinkThread([&] { sink.serve(stop); });
    std::thread refreshThread([&] { countRefreshes(master, stop, figures); });
    std::thread readerThread([&] { readSnapshots(snapshot, stop, figures, tornSamples); });

    // Memory is compared from the first merged reading on, when the model holds one.
    for (int waited = 0; figures.refreshes == 0 && waited < 600; ++waited) {
        std::this_thread::sleep_for(100ms);
    }
    const long rssStart = statusKilobytes(engine, "VmRSS");
    std::vector<long> rssByMinute;
    control->start = true;

    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(o.minutes * 60));
    auto nextKill = start + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(o.killEvery));
    auto nextRewrite = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(o.rewriteEvery));
    long counter = 0;
    bool engineDied = false;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(100ms);
        if (const pid_t helper = findHelper(runtime); helper > 0) {
            figures.helpers.insert(helper);
            if (Clock::now() >= nextKill) {
                ::kill(helper, SIGKILL);
                ++figures.kills;
                nextKill += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(o.killEvery));
            }
        }
        if (Clock::now() >= nextRewrite) {
            ++counter;
            const int status = runToEnd(
                {companion, "defaults", "write", "churnCounter", std::to_string(counter)}, logFd);
            ++figures.rewrites;
            if (status != 0 || !settingsIntact(settingsFile, sentinel, counter)) {
                ++figures.settingsLost;
                if (lossSamples.size() < 3) {
                    bool opened = false;
                    lossSamples.push_back(
                        "write " + std::to_string(counter) + " exit " + std::to_string(status) +
                        ", file: " + readFile(settingsFile, opened).substr(0, 300));
                }
            }
            nextRewrite += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(o.rewriteEvery));
        }
        if (Clock::now() - start >= std::chrono::minutes(rssByMinute.size() + 1)) {
            rssByMinute.push_back(statusKilobytes(engine, "VmRSS"));
        }
        if (::waitpid(engine, nullptr, WNOHANG) == engine) {
            engineDied = true;
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long rssEnd = engineDied ? -1 : statusKilobytes(engine, "VmRSS");
    const long rssPeak = engineDied ? -1 : statusKilobytes(engine, "VmHWM");

    stop = true;
    control->stop = true;
    ::waitpid(churner, nullptr, 0);
    int engineStatus = 0;
    if (!engineDied) {
        ::kill(engine, SIGTERM);
        ::waitpid(engine, &engineStatus, 0);
    }
    readerThread.join();
    refreshThread.join();
    sinkThread.join();
    if (const pid_t helper = findHelper(runtime); helper > 0) {
        ::kill(helper, SIGKILL);
    }
    const bool sentinelKept = settingsIntact(settingsFile, sentinel, counter);
    long corruptCopies = 0;
    for (const auto& entry : fs::directory_iterator(settingsFile.parent_path())) {
        corruptCopies += entry.path().filename().string().find(".corrupt") != std::string::npos;
    }
    const long reports = countReports(log);

    std::printf("churn soak: %.1f min, %s\n", seconds / 60, companion.c_str());
    std::printf("%-34s %12s\n", "", "count");
    const auto row = [](const char* name, long value) {
        std::printf("%-34s %12ld\n", name, value);
    };
    row("refreshes done", figures.refreshes);
    row("snapshots written (seen)", figures.snapshots);
    row("snapshot reads", figures.reads);
    row("  distinct documents decoded", figures.documents);
    row("  torn or invalid", figures.tornReads);
    row("snapshot removals (seen)", figures.removals);
    row("children spawned", control->children);
    std::printf("%-34s %12.0f\n", "  per second", static_cast<double>(control->children) / seconds);
    row("helper kills (SIGKILL)", figures.kills);
    row("helper relaunches (new pids)",
        std::max(0L, static_cast<long>(figures.helpers.size()) - 1));
    row("settings rewrites", figures.rewrites);
    row("settings lost", figures.settingsLost + (sentinelKept ? 0 : 1));
    row("settings moved aside", corruptCopies);
    row("companion RSS at start (kB)", rssStart);
    row("companion RSS at end (kB)", rssEnd);
    row("companion RSS growth (kB)", rssEnd < 0 ? -1 : rssEnd - rssStart);
    row("companion RSS peak (kB)", rssPeak);
    std::printf("%-34s", "companion RSS each minute (kB)");
    for (const long kilobytes : rssByMinute) {
        std::printf(" %ld", kilobytes);
    }
    std::printf("\n");
    row("sanitizer reports", reports);
    if (engineDied) {
        std::printf("%-34s %12s\n", "companion", "DIED");
    } else {
        row(WIFEXITED(engineStatus) ? "companion exit status on SIGTERM"
                                    : "companion killed by signal",
            WIFEXITED(engineStatus) ? WEXITSTATUS(engineStatus) : WTERMSIG(engineStatus));
    }
    for (const auto& sample : tornSamples) {
        std::printf("torn read: %s\n", sample.c_str());
    }
    for (const auto& sample : lossSamples) {
        std::printf("settings lost: %s\n", sample.c_str());
    }
    if (reports > 0 || engineDied) {
        std::printf("companion log kept: %s\n", log.c_str());
    } else {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }
    ::close(master);
    ::close(terminal);
    ::close(logFd);
    const bool clean = !engineDied && reports == 0 && figures.tornReads == 0 &&
                       figures.settingsLost == 0 && sentinelKept;
    return clean ? 0 : 1;
}
