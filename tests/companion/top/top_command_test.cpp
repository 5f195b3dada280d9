// `korvel-companion top --once` and `--json` as a user runs them: the built
// program on a pseudo-terminal, against the real helper, while this test moves
// bytes between two of its processes at a known rate.

#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvel {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr double kRate = 2'000'000; // bytes per second

std::string companionBinary() {
    return std::string(KORVEL_TEST_BINARY_DIR) + "/korvel-companion";
}

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs the companion with `args` on a new pseudo-terminal of 120 columns and
// collects what it writes until it exits (killed after a minute).
// `whileRunning` sees its pid and the output so far, every 50 ms.
Outcome runOnTerminal(std::vector<std::string> args,
                      const std::function<void(pid_t, const std::string&)>& whileRunning = {},
                      bool showErrors = false) {
    args.insert(args.begin(), companionBinary());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    winsize size{40, 120, 0, 0};
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        // Log lines go to stderr; the test reads what a script would.
        if (!showErrors) {
            ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Outcome run;
    const auto end = steady_clock::now() + 60s;
    char buffer[65536];
    int status = 0;
    // The helper it starts keeps the terminal open, so the end is the exit.
    for (bool exited = false; !exited;) {
        exited = ::waitpid(child, &status, WNOHANG) == child;
        if (!exited && steady_clock::now() > end) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            break;
        }
        // A pty hands written bytes to the master through a work queue, so
        // the last ones can arrive after the writer has exited: drain until
        // nothing more comes for a while.
        pollfd fd{master, POLLIN, 0};
        for (ssize_t n; ::poll(&fd, 1, exited ? 250 : 50) > 0 &&
                        (n = ::read(master, buffer, sizeof buffer)) > 0;) {
            run.output.append(buffer, static_cast<size_t>(n));
        }
        if (!exited && whileRunning) {
            whileRunning(child, run.output);
        }
    }
    ::close(master);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A TCP stream between this process (sending at kRate) and a child (reading),
// over IPv6 sockets on ::ffff:127.0.0.1, which the helper reports.
class PacedTransfer {
public:
    PacedTransfer() {
        const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr);
        auto* raw = reinterpret_cast<sockaddr*>(&address);
        socklen_t length = sizeof address;
        if (::bind(listener, raw, length) != 0 || ::listen(listener, 1) != 0 ||
            ::getsockname(listener, raw, &length) != 0) {
            ADD_FAILURE() << "listener: " << std::strerror(errno);
        }
        reader_ = ::fork();
        if (reader_ == 0) {
            const int peer = ::accept(listener, nullptr, nullptr);
            char sink[65536];
            while (::read(peer, sink, sizeof sink) > 0) {
            }
            ::_exit(0);
        }
        ::close(listener);
        socket_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(socket_, raw, length) != 0) {
            ADD_FAILURE() << "connect: " << std::strerror(errno);
        }
        sender_ = std::thread([this] { send(); });
    }
    ~PacedTransfer() {
        stop_ = true;
        sender_.join();
        ::close(socket_);
        ::waitpid(reader_, nullptr, 0);
    }

private:
    void send() {
        static const std::string chunk(16384, 'x');
        const auto start = steady_clock::now();
        double sent = 0;
        while (!stop_) {
            if (sent >= duration<double>(steady_clock::now() - start).count() * kRate) {
                std::this_thread::sleep_for(2ms);
            } else if (const ssize_t n = ::send(socket_, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                       n > 0) {
                sent += static_cast<double>(n);
            } else {
                return;
            }
        }
    }

    int socket_ = -1;
    pid_t reader_ = -1;
    std::thread sender_;
    std::atomic<bool> stop_{false};
};

class TopCommandTest : public ::testing::Test {
protected:
    void TearDown() override { testing::killHelpers(); }

    testing::TempDir home;
    testing::ScopedEnv runtimeDir{"XDG_RUNTIME_DIR", (home.path() / "run").string()};
    testing::ScopedEnv configDir{"XDG_CONFIG_HOME", (home.path() / "config").string()};
    testing::ScopedEnv noColor{"NO_COLOR", "1"};
};

// Parses "2.0M" and the like, as the table prints rates.
double compactRate(const std::string& text) {
    size_t used = 0;
    const double value = std::stod(text, &used);
    const size_t unit = used < text.size() ? std::string_view("kMG").find(text[used]) : 3;
    return unit < 3 ? value * std::pow(1e3, unit + 1) : value;
}

TEST_F(TopCommandTest, OnceAndJsonShowTheSendersOutRateAndPublishNothing) {
    std::filesystem::create_directories(home.path() / "run");
    PacedTransfer transfer;
    std::this_thread::sleep_for(300ms); // let the pace settle

    const Outcome json = runOnTerminal({"top", "--json"});
    ASSERT_EQ(json.status, 0) << json.output;
    const auto document = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << json.output;
    EXPECT_TRUE(document["helperAvailable"].get<bool>());
    const auto& processes = document["processes"];
    const auto self = std::find_if(processes.begin(), processes.end(), [](const auto& process) {
        return process["pid"] == ::getpid();
    });
    ASSERT_NE(self, processes.end()) << "this process is not listed";
    ASSERT_TRUE(self->contains("rateOut")) << self->dump();
    EXPECT_NEAR((*self)["rateOut"].get<double>(), kRate, kRate * 0.2) << self->dump();
    bool socketListed = false;
    for (const auto& socket : (*self)["connections"]) {
        socketListed |= socket["remoteAddr"] == "::ffff:127.0.0.1" && socket.contains("rateOut");
    }
    EXPECT_TRUE(socketListed) << self->dump();

    const Outcome once = runOnTerminal({"top", "--once"});
    ASSERT_EQ(once.status, 0) << once.output;
    std::istringstream lines(once.output);
    std::string line;
    std::optional<double> rateOut;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string pid, user, cpu, rss, sockets, in, out;
        if (fields >> pid >> user >> cpu >> rss >> sockets >> in >> out &&
            pid == std::to_string(::getpid())) {
            rateOut = compactRate(out);
        }
    }
    ASSERT_TRUE(rateOut) << once.output;
    EXPECT_NEAR(*rateOut, kRate, kRate * 0.2) << once.output;

    // Beside a running companion it must leave the shared files alone.
    EXPECT_FALSE(std::filesystem::exists(home.path() / "config")) << "settings were written";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path() / "run")) {
        EXPECT_NE(entry.path().filename(), "latest.json") << entry.path();
    }
}

TEST_F(TopCommandTest, TheFullScreenViewNeedsATerminalThatMovesTheCursorAndGivesItBack) {
    {
        const testing::ScopedEnv dumb{"TERM", "dumb"};
        const Outcome refused = runOnTerminal({"top"}, {}, true);
        EXPECT_EQ(refused.status, 2);
        EXPECT_NE(refused.output.find("cannot drive this terminal (TERM=dumb"), std::string::npos);
    }
    // Whatever ends it, the view leaves the alternate screen it entered.
    const testing::ScopedEnv xterm{"TERM", "xterm"};
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        bool sent = false;
        const Outcome run = runOnTerminal({"top"}, [&](pid_t pid, const std::string& output) {
            if (!sent && output.find("Sort") != std::string::npos) { // the first frame
                sent = ::kill(pid, signal) == 0;
            }
        });
        ASSERT_TRUE(sent) << strsignal(signal) << run.output;
        EXPECT_EQ(run.status, 0) << strsignal(signal);
        const size_t entered = run.output.find("\x1b[?1049h");
        ASSERT_NE(entered, std::string::npos);
        EXPECT_NE(run.output.find("\x1b[?1049l", entered), std::string::npos) << strsignal(signal);
    }
}

} // namespace
} // namespace korvel
