#include "tests/support/virtual_dispatch.h"
#include "platform/program/control_socket.h"
#include "platform/program/instance_lock.h"
#include "platform/service/unix_socket.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <unistd.h>

namespace korvel::platform {
namespace {

using namespace std::chrono_literals;

// An exec keeps the open file, which a dup stands in for here.
TEST(InstanceLockTest, OneHolderAdoptedOnlyThroughItsDescriptorAndFailuresAreNoHolders) {
    testing::TempDir dir;
    const auto path = (dir.path() / "app.lock").string();
    auto first = InstanceLock::acquire(path);
    ASSERT_EQ(first.outcome, InstanceLock::Outcome::acquired) << first.error;
    // flock belongs to the open file, so a second open in this process is
    // refused just like another process.
    const auto second = InstanceLock::acquire(path);
    EXPECT_EQ(second.outcome, InstanceLock::Outcome::heldElsewhere);
    EXPECT_FALSE(second.lock);
    const int kept = first.lock->keepAcrossExec(true);
    ASSERT_GE(kept, 0);
    EXPECT_EQ(::fcntl(kept, F_GETFD) & FD_CLOEXEC, 0);
    const int handed = ::dup(kept);
    first.lock.reset();

    // Another open of the file is not the holder, nor is another file.
    const int stranger = ::open(path.c_str(), O_RDWR);
    EXPECT_EQ(InstanceLock::adopt(path, stranger).outcome, InstanceLock::Outcome::heldElsewhere);
    EXPECT_EQ(InstanceLock::adopt((dir.path() / "other.lock").string(), ::dup(handed)).outcome,
              InstanceLock::Outcome::failed);

    auto adopted = InstanceLock::adopt(path, handed);
    ASSERT_EQ(adopted.outcome, InstanceLock::Outcome::acquired) << adopted.error;
    EXPECT_NE(::fcntl(handed, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(InstanceLock::acquire(path).outcome, InstanceLock::Outcome::heldElsewhere);
    adopted.lock.reset();
    EXPECT_EQ(InstanceLock::acquire(path).outcome, InstanceLock::Outcome::acquired);

    // A lock that cannot be made is a failure, not another holder.
    const auto result = InstanceLock::acquire((dir.path() / "missing/app.lock").string());
    EXPECT_EQ(result.outcome, InstanceLock::Outcome::failed);
    EXPECT_FALSE(result.error.empty());

    // A symlink planted where the lock goes is not followed.
    std::filesystem::create_symlink(dir.path() / "elsewhere", dir.path() / "planted.lock");
    EXPECT_EQ(InstanceLock::acquire((dir.path() / "planted.lock").string()).outcome,
              InstanceLock::Outcome::failed);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "elsewhere"));
}

class ControlSocketTest : public ::testing::Test {
protected:
    using Reply = std::future<std::optional<std::string>>;

    // Sends from another thread, as a second start of the program would.
    Reply sendLater(std::string command) {
        return std::async(std::launch::async, [this, command] {
            return sendControlCommand(path, command, 3000ms, sendError);
        });
    }
    // Runs the main queue until the reply is in.
    std::optional<std::string> await(Reply reply) {
        while (reply.wait_for(0ms) != std::future_status::ready) {
            dispatch.runPendingWaiting(20ms);
        }
        return reply.get();
    }
    std::unique_ptr<ControlSocketServer> listen(ControlSocketServer::Handler handler) {
        return ControlSocketServer::listen(path, dispatch, std::move(handler), error);
    }

    testing::TempDir dir;
    std::string path = (dir.path() / "app.control").string();
    testing::VirtualDispatch dispatch;
    std::string error;
    std::string sendError;
};

TEST_F(ControlSocketTest, CommandsAreAnsweredOnTheMainQueueWhileTheServerLasts) {
    // What a crashed holder leaves behind: a socket file nobody listens on.
    const int stale = service::listenUnixSocket(path, false);
    ASSERT_GE(stale, 0);
    ::close(stale);
    // The first sender starts before the server exists, as a start racing the
    // engine that just took the lock would; the stale file is replaced.
    auto early = sendLater("open-settings");
    std::this_thread::sleep_for(100ms);
    std::vector<std::string> received;
    bool onMain = false;
    auto server = listen([&](const std::string& command) {
        received.push_back(command);
        onMain = dispatch.isMainThread();
        return command == "open-settings" ? "ok" : "unknown-command";
    });
    ASSERT_TRUE(server) << error;

    EXPECT_EQ(await(std::move(early)), "ok") << sendError;
    EXPECT_EQ(await(sendLater("bogus")), "unknown-command") << sendError;
    EXPECT_EQ(received, (std::vector<std::string>{"open-settings", "bogus"}));
    EXPECT_TRUE(onMain);
    // An endless line is cut, not buffered without bound.
    EXPECT_TRUE(await(sendLater(std::string(100000, 'x')))) << sendError;
    EXPECT_EQ(received.back().size(), ControlSocketServer::kMaxCommandLength);

    server.reset();
    EXPECT_FALSE(std::filesystem::exists(path)) << "the socket file goes with the server";
    EXPECT_FALSE(sendControlCommand(path, "open-settings", 100ms, error).has_value());
    EXPECT_FALSE(error.empty());

    // A command left on the main queue when the server goes gets no answer.
    server = listen([&](const std::string& command) {
        received.push_back(command);
        return "ok";
    });
    ASSERT_TRUE(server) << error;
    dispatch.runPending();
    auto late = sendLater("late");
    while (dispatch.readyCount() == 0) {
        std::this_thread::sleep_for(5ms);
    }
    server.reset();
    dispatch.runPending();
    EXPECT_NE(received.back(), "late");
    EXPECT_FALSE(late.get().has_value());
}

} // namespace
} // namespace korvel::platform
