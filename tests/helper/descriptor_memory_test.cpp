#include "helper/descriptor_memory.h"
#include "helper/process_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel {
namespace {

TEST(DescriptorMemoryTest, TrustsOnlyTheSameProcessUnrunAndRecentlyWalked) {
    DescriptorMemory memory;
    memory.remember(7, {1, 100}, 50.0, {{42, 42}, {}, {}});
    ASSERT_NE(memory.recall(7, {1, 100}, 80.0), nullptr);
    EXPECT_EQ(memory.recall(7, {1, 100}, 80.0)->socketInodes, (std::vector<uint64_t>{42, 42}));
    EXPECT_EQ(memory.recall(7, {1, 101}, 51.0), nullptr) << "it ran";
    EXPECT_EQ(memory.recall(7, {2, 100}, 51.0), nullptr) << "another process under the pid";
    EXPECT_EQ(memory.recall(7, {1, 100}, 80.5), nullptr) << "too long ago";
    EXPECT_EQ(memory.recall(7, {1, 100}, 49.0), nullptr) << "a clock before the walk";
    memory.keepOnly({9, 3, 7});
    EXPECT_EQ(memory.size(), 1u);
    memory.keepOnly({9, 3});
    EXPECT_EQ(memory.size(), 0u);
}

// A child that opens one more UDP socket each time it is told to, and sleeps
// in between.
class SocketOpener {
public:
    SocketOpener() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, line_), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(line_[0]);
            for (char c; ::read(line_[1], &c, 1) == 1;) {
                const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
                ::write(line_[1], "k", 1);
            }
            ::_exit(0);
        }
    }
    ~SocketOpener() {
        ::close(line_[0]);
        ::waitpid(pid_, nullptr, 0);
        ::close(line_[1]);
    }
    void openOneMore() {
        char c;
        ASSERT_EQ(::write(line_[0], "u", 1), 1);
        ASSERT_EQ(::read(line_[0], &c, 1), 1);
    }
    pid_t pid() const { return pid_; }

private:
    int line_[2]{-1, -1};
    pid_t pid_ = -1;
};

TEST(DescriptorMemoryTest, ASleepingProcessIsRecalledAndOneThatRanIsWalkedAgain) {
    SocketOpener child;
    ASSERT_GT(child.pid(), 0);
    child.openOneMore();
    DescriptorMemory memory;
    const auto portsOfChild = [&](DescriptorMemory* remembered) {
        platform::proc::ProcSource source;
        std::vector<HelperConnectionData> connections;
        collectProcessTable(source, true, connections, remembered);
        std::vector<uint16_t> ports;
        for (const auto& row : connections) {
            if (row.pid == child.pid()) {
                ports.push_back(row.localPort);
            }
        }
        return ports;
    };
    const auto first = portsOfChild(&memory);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(portsOfChild(&memory), first);

    // Asleep since: its walk is in the memory and answers as a fresh walk does.
    platform::proc::ProcSource source;
    source.listAllPids();
    const auto task = source.taskInfo(child.pid());
    const auto runtime = source.cpuRuntimeNS(child.pid());
    ASSERT_TRUE(task && runtime);
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    EXPECT_NE(memory.recall(child.pid(), {task->startTimeTicks, *runtime}, now), nullptr);

    child.openOneMore();
    EXPECT_EQ(portsOfChild(&memory).size(), 2u) << "the child ran: walked again";
}

} // namespace
} // namespace korvel
