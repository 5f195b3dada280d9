#include "platform/service/service_launcher.h"
#include "tests/platform/service/served_fixture.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace korvel::platform::service {
namespace {

TEST_F(ServedTest, ClientThatStopsReadingHoldsUpNobodyAndIsDroppedAfterItsTimeout) {
    listener->setSendTimeout(300ms);
    serve();
    // Pipelines requests for large replies and never reads one.
    const int stalled = connectUnixSocket(socketPath);
    ASSERT_GE(stalled, 0);
    const std::string frame = encodeRequestFrame({"big", false});
    for (int i = 0; i < 3000; ++i) {
        if (::send(stalled, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    std::this_thread::sleep_for(50ms); // let the service start on them

    auto connection = connect(5s);
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"hello", true})), Reply("hello:yes"));

    // Hung up on while its replies still sit unread.
    pollfd hangup{stalled, 0, 0};
    EXPECT_EQ(::poll(&hangup, 1, 10000), 1);
    EXPECT_TRUE(hangup.revents & POLLHUP) << "the stalled client is still connected";
    // Until then served only while its socket and queue had room.
    int socketBuffer = 0;
    socklen_t size = sizeof socketBuffer;
    ::getsockopt(stalled, SOL_SOCKET, SO_SNDBUF, &socketBuffer, &size);
    const size_t reply = 256 * 1024;
    EXPECT_LE(static_cast<size_t>(service->bigReplies) * reply,
              static_cast<size_t>(socketBuffer) + Listener::kMaxQueuedOutput + 2 * reply);
    ::close(stalled);
}

TEST_F(ServedTest, IdleConnectionsUpToTheLimitDoNotLockOutAClient) {
    serve();
    std::vector<int> idle;
    for (size_t i = 0; i < Listener::kMaxConnections; ++i) {
        const int fd = connectUnixSocket(socketPath);
        ASSERT_GE(fd, 0);
        char greeting = 0;
        ASSERT_EQ(::recv(fd, &greeting, 1, 0), 1);
        idle.push_back(fd);
    }
    auto connection = connect(5s);
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"hello", false})), Reply("hello:no"));
    for (int fd : idle) {
        ::close(fd);
    }
}

TEST_F(ServedTest, AQuietListenerSleepsAndEndsAfterItsIdleExitEvenTheShortest) {
    listener->setIdleExit(1ms);
    auto ended = std::async(std::launch::async, [&] { return listener->run(); });
    if (ended.wait_for(5s) != std::future_status::ready) {
        ADD_FAILURE() << "a quiet period of 1 ms never ended the loop";
        listener->stop();
    }
    ended.get();

    // Idle exit off: nothing wakes it, so it costs no processor time.
    listener->setIdleExit(0ms);
    serve();
    const auto cpuMs = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    };
    const double before = cpuMs();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(cpuMs() - before, 30) << "ms of processor time spent idle";
}

// The helper started by hand binds its socket only under the clients' launch
// lock, and ends on its own once nobody has used it for the quiet period.
TEST(ListenerTest, HandStartedHelperWaitsForTheLaunchLockAndExitsWhenIdle) {
    testing::TempDir runtime;
    const std::string directory = runtime.str() + "/qn.Korvel";
    ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
    const std::string socket = directory + "/qn.Korvel.companion.helper.sock";
    const int lock = ::open((socket + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    const std::string program = korvel::testing::helperBinary();
    const std::string runtimeVariable = "XDG_RUNTIME_DIR=" + runtime.str();
    const pid_t child = ::fork();
    if (child == 0) {
        const char* environment[] = {runtimeVariable.c_str(), "KORVEL_HELPER_IDLE_EXIT_MS=200",
                                     nullptr};
        ::execle(program.c_str(), program.c_str(), nullptr, environment);
        ::_exit(127);
    }
    std::this_thread::sleep_for(300ms);
    const int early = connectUnixSocket(socket);
    EXPECT_LT(early, 0) << "bound while a client held the launch lock";
    if (early >= 0) {
        ::close(early);
    }
    ::close(lock);

    // Bounded waits for the helper, not timing requirements.
    const auto eventually = [](const std::function<bool()>& done) {
        for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(10ms)) {
            if (done()) {
                return true;
            }
        }
        return false;
    };
    int fd = -1;
    ASSERT_TRUE(eventually([&] { return (fd = connectUnixSocket(socket)) >= 0; }));
    char greeting = 0;
    EXPECT_EQ(::recv(fd, &greeting, 1, 0), 1);
    EXPECT_EQ(greeting, kAcceptGreeting);
    ::close(fd);

    int status = 0;
    if (!eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; })) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the idle helper kept running";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// systemd, or whoever started it, must see a helper that cannot serve fail.
TEST(ListenerTest, HelperThatCannotServeSaysWhyOnOneLineAndFails) {
    testing::TempDir runtime;
    const std::string socket = runtime.str() + "/qn.Korvel/qn.Korvel.companion.helper.sock";
    const auto start = [&](const std::string& setup) {
        const std::string command = "cd / && XDG_RUNTIME_DIR='" + runtime.str() +
                                    "' KORVEL_HELPER_IDLE_EXIT_MS=200 " + setup + " '" +
                                    testing::helperBinary() + "' 2>'" + runtime.str() + "/err'";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << setup << ": " << status;
        const std::string err = runtime.read("err");
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        return err;
    };
    // A descriptor handed over that is no listening socket.
    EXPECT_NE(start("LISTEN_FDS=1 sh -c 'export LISTEN_PID=$$; exec \"$0\"' 3</dev/null")
                  .find("not a listening"),
              std::string::npos);
    // Another helper already answers on the socket.
    ASSERT_EQ(::mkdir((runtime.str() + "/qn.Korvel").c_str(), 0700), 0);
    const int serving = listenUnixSocket(socket, true);
    ASSERT_GE(serving, 0);
    EXPECT_NE(start("").find(socket), std::string::npos);
    ::close(serving);
    // A socket directory others may write into.
    ASSERT_EQ(::chmod((runtime.str() + "/qn.Korvel").c_str(), 0770), 0);
    EXPECT_NE(start("").find("private"), std::string::npos);
}

// Started by a client, the helper keeps none of its descriptors and not its
// directory: a pipe it holds reaches end of file, its file system can go.
TEST(ListenerTest, HelperStartedByAClientKeepsOnlyItsSocketOfWhatTheClientHad) {
    testing::TempDir runtime;
    korvel::testing::ScopedEnv runtimeDirectory{"XDG_RUNTIME_DIR", runtime.str()};
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0); // inherited by whatever we start
    const auto directory = std::filesystem::current_path();
    std::filesystem::current_path(runtime.path());
    const auto socket =
        connectOrLaunch(runtime.str() + "/helper.sock", korvel::testing::helperBinary());
    std::filesystem::current_path(directory);
    ::close(pipe[1]);
    ASSERT_TRUE(socket.launched) << socket.error;
    pollfd end{pipe[0], POLLIN, 0};
    EXPECT_EQ(::poll(&end, 1, 5000), 1) << "the helper holds the client's pipe";
    pollfd greeting{socket.fd, POLLIN, 0};
    ASSERT_EQ(::poll(&greeting, 1, 5000), 1); // serving, so done loading its libraries
    const auto helpers = korvel::testing::waitForHelpers(1);
    ASSERT_EQ(helpers.size(), 1u);
    const std::filesystem::path proc = "/proc/" + std::to_string(helpers[0]);
    EXPECT_EQ(std::filesystem::read_symlink(proc / "cwd"), "/");
    for (const auto& entry : std::filesystem::directory_iterator(proc / "fd")) {
        std::error_code gone;
        const std::string target = std::filesystem::read_symlink(entry, gone);
        EXPECT_TRUE(std::stoi(entry.path().filename()) <= 2 || target.starts_with("socket:") ||
                    target == "anon_inode:[eventfd]")
            << entry.path() << " -> " << target;
    }
    ::close(socket.fd);
    ::close(pipe[0]);
    korvel::testing::killHelpers();
}

// Connections come and go around the helper's exit: each request is either
// served by the helper still there or finds nobody and starts a new one.
TEST(ListenerTest, IdleHelperExitsAndRequestsRacingItsExitAreServed) {
    testing::TempDir runtime;
    korvel::testing::ScopedEnv runtimeDirectory{"XDG_RUNTIME_DIR", runtime.str()};
    korvel::testing::ScopedEnv quiet{"KORVEL_HELPER_IDLE_EXIT_MS", "20"};
    ConnectionOptions options;
    options.serviceExecutable = korvel::testing::helperBinary();

    // The sharpest case: the request sits in the backlog of a helper that
    // closes its listening socket without accepting it.
    {
        options.socketPathOverride = runtime.str() + "/exiting.sock";
        const int exiting = listenUnixSocket(options.socketPathOverride, true);
        auto connection = Connection::create("qn.Korvel.companion.helper", options);
        connection->resume();
        auto outcome = std::async(std::launch::async, [&] {
            return sendAndWait(*connection, {"ping", false});
        });
        pollfd queued{exiting, POLLIN, 0};
        EXPECT_EQ(::poll(&queued, 1, 10000), 1);
        ::close(exiting);
        const auto served = outcome.get();
        EXPECT_TRUE(std::holds_alternative<Reply>(served)) << std::get<std::string>(served);
        options.socketPathOverride.clear();
    }
    korvel::testing::killHelpers();

    for (int round = 0; round < 60; ++round) {
        auto connection = Connection::create("qn.Korvel.companion.helper", options);
        connection->resume();
        // Not a fetch: the helper answers nil at once, which still proves it served.
        const auto outcome = sendAndWait(*connection, {"ping", false});
        EXPECT_TRUE(std::holds_alternative<Reply>(outcome)) << std::get<std::string>(outcome);
        connection.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 6 * 5));
    }
    const bool exited = korvel::testing::waitForHelpers(0).empty();
    korvel::testing::killHelpers();
    EXPECT_TRUE(exited) << "the idle helper is still running";
}

} // namespace
} // namespace korvel::platform::service
