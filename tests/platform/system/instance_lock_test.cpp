#include "platform/dispatch/virtual_dispatch.h"
#include "platform/system/control_socket.h"
#include "platform/system/instance_lock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::platform {
namespace {

using namespace std::chrono_literals;

TEST(InstanceLockTest, OneHolderAtATimeAndTheLockGoesWithItsHolder) {
    testing::TempDir dir;
    const auto path = (dir.path() / "app.lock").string();

    auto first = InstanceLock::acquire(path);
    ASSERT_EQ(first.outcome, InstanceLock::Outcome::acquired) << first.error;
    // flock belongs to the open file, so a second open in this process is
    // refused just like another process.
    auto second = InstanceLock::acquire(path);
    EXPECT_EQ(second.outcome, InstanceLock::Outcome::heldElsewhere);
    EXPECT_FALSE(second.lock);

    first.lock.reset();
    auto third = InstanceLock::acquire(path);
    EXPECT_EQ(third.outcome, InstanceLock::Outcome::acquired);

    // Another process holding it keeps it until it exits, and no longer.
    third.lock.reset();
    int held[2], release[2];
    ASSERT_EQ(::pipe(held), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        auto lock = InstanceLock::acquire(path);
        const char ok = lock.outcome == InstanceLock::Outcome::acquired ? 'y' : 'n';
        char go = 0;
        if (::write(held[1], &ok, 1) != 1 || ::read(release[0], &go, 1) != 1) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(held[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(InstanceLock::acquire(path).outcome, InstanceLock::Outcome::heldElsewhere);
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(InstanceLock::acquire(path).outcome, InstanceLock::Outcome::acquired);
    for (int fd : {held[0], held[1], release[0], release[1]}) {
        ::close(fd);
    }
}

TEST(InstanceLockTest, ALockThatCannotBeMadeIsAFailureNotAnotherHolder) {
    testing::TempDir dir;
    auto result = InstanceLock::acquire((dir.path() / "missing/app.lock").string());
    EXPECT_EQ(result.outcome, InstanceLock::Outcome::failed);
    EXPECT_FALSE(result.error.empty());

    // A symlink planted where the lock goes is not followed.
    std::filesystem::create_symlink(dir.path() / "elsewhere", dir.path() / "app.lock");
    EXPECT_EQ(InstanceLock::acquire((dir.path() / "app.lock").string()).outcome,
              InstanceLock::Outcome::failed);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere"));
}

class ControlSocketTest : public ::testing::Test {
protected:
    // Sends from another thread while this one runs the main queue.
    std::optional<std::string> send(const std::string& command, std::string& error,
                                    std::chrono::milliseconds timeout = 2000ms) {
        auto reply = std::async(std::launch::async,
                                [&] { return sendControlCommand(path, command, timeout, error); });
        while (reply.wait_for(0ms) != std::future_status::ready) {
            dispatch.runPendingWaiting(20ms);
        }
        return reply.get();
    }

    testing::TempDir dir;
    std::string path = (dir.path() / "app.control").string();
    VirtualDispatch dispatch;
};

TEST_F(ControlSocketTest, CommandsAreAnsweredOnTheMainQueue) {
    std::vector<std::string> received;
    bool onMain = false;
    std::string error;
    auto server = ControlSocketServer::listen(
        path, dispatch,
        [&](const std::string& command) {
            received.push_back(command);
            onMain = dispatch.isMainThread();
            return command == "open-settings" ? "ok" : "unknown-command";
        },
        error);
    ASSERT_TRUE(server) << error;

    EXPECT_EQ(send("open-settings", error), "ok") << error;
    EXPECT_EQ(send("bogus", error), "unknown-command") << error;
    EXPECT_EQ(received, (std::vector<std::string>{"open-settings", "bogus"}));
    EXPECT_TRUE(onMain);

    // An endless line is cut, not buffered without bound.
    const std::string huge(100000, 'x');
    EXPECT_TRUE(send(huge, error).has_value()) << error;
    EXPECT_EQ(received.back().size(), ControlSocketServer::kMaxCommandLength);

    server.reset();
    EXPECT_FALSE(std::filesystem::exists(path)) << "the socket file goes with the server";
    EXPECT_FALSE(sendControlCommand(path, "open-settings", 100ms, error).has_value());
    EXPECT_FALSE(error.empty());
}

TEST_F(ControlSocketTest, AStaleSocketFileIsReplacedAndALateServerIsWaitedFor) {
    // What a crashed holder leaves behind: a socket file nobody listens on.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    std::string error;
    // The sender starts before the server exists, as a start racing the
    // engine that just took the lock would.
    auto reply = std::async(std::launch::async,
                            [&] { return sendControlCommand(path, "ping", 3000ms, error); });
    std::this_thread::sleep_for(100ms);
    std::string listenError;
    auto server = ControlSocketServer::listen(
        path, dispatch, [](const std::string&) { return "pong"; }, listenError);
    ASSERT_TRUE(server) << listenError;
    while (reply.wait_for(0ms) != std::future_status::ready) {
        dispatch.runPendingWaiting(20ms);
    }
    EXPECT_EQ(reply.get(), "pong") << error;
}

TEST_F(ControlSocketTest, CommandsLeftWhenTheServerGoesGetNoAnswer) {
    std::string error;
    int handled = 0;
    auto server = ControlSocketServer::listen(
        path, dispatch,
        [&](const std::string&) {
            ++handled;
            return "ok";
        },
        error);
    ASSERT_TRUE(server);
    auto reply = std::async(std::launch::async,
                            [&] { return sendControlCommand(path, "late", 2000ms, error); });
    // Wait until the command sits on the main queue, then drop the server.
    while (dispatch.readyCount() == 0) {
        std::this_thread::sleep_for(5ms);
    }
    server.reset();
    dispatch.runPending();
    EXPECT_EQ(handled, 0);
    EXPECT_FALSE(reply.get().has_value());
}

} // namespace
} // namespace korvel::platform
