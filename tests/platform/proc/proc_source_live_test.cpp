#include "platform/proc/address_text.h"
#include "platform/proc/proc_source.h"
#include "platform/proc/sock_diag.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <climits>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvel::platform::proc {
namespace {

struct Fd {
    int fd;
    explicit Fd(int value) : fd(value) {}
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

uint64_t inodeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address.ss_family == AF_INET
               ? ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port)
               : ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

TEST(ProcSourceLiveTest, ThisProcessAsTheKernelSeesIt) {
    ProcSource source;
    const auto pids = source.listAllPids();
    const int32_t self = ::getpid();
    EXPECT_NE(std::find(pids.begin(), pids.end(), self), pids.end());
    EXPECT_EQ(std::find(pids.begin(), pids.end(), 0), pids.end());
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end())) << "the kernel lists pids ascending";
    struct stat kthreadd {};
    if (::stat("/proc/2/stat", &kthreadd) == 0 && source.shortName(2) == "kthreadd") {
        EXPECT_EQ(std::find(pids.begin(), pids.end(), 2), pids.end());
    }

    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(n, 0);
    EXPECT_EQ(source.executablePath(self), std::string_view(exe, static_cast<size_t>(n)));
    EXPECT_FALSE(source.shortName(self)->empty());
    const auto task = source.taskInfo(self);
    ASSERT_TRUE(task);
    EXPECT_GT(task->residentBytes, 1u << 20);
    EXPECT_EQ(task->userNS % 1000000, 0u) << "whole clock ticks, in nanoseconds";
}

TEST(ProcSourceLiveTest, OwnSocketsAreFoundByInodeThroughNetlinkAndTheFiles) {
    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.fd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    ASSERT_EQ(::listen(listener.fd, 4), 0);
    const uint16_t port = boundPort(listener.fd);

    Fd client(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(port);
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr), 1);
    ASSERT_EQ(::connect(client.fd, reinterpret_cast<sockaddr*>(&mapped), sizeof mapped), 0);
    Fd datagram(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(datagram.fd, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd unixA(pair[0]), unixB(pair[1]);

    std::vector<Descriptor> descriptors;
    for (const bool netlink : {true, false}) {
        SCOPED_TRACE(netlink ? "netlink" : "files");
        ProcSourceOptions options;
        options.useNetlink = netlink;
        ProcSource source(options);
        source.loadSocketTables();
        if (netlink && !SockDiagSocket().isOpen()) {
            continue; // refused here: the files answered, as below
        }
        EXPECT_EQ(source.kernelDumpedTables(), netlink ? 4 : 0);
        ASSERT_TRUE(source.listDescriptors(::getpid(), descriptors));
        const auto held = [&](int fd) {
            return std::any_of(descriptors.begin(), descriptors.end(), [&](const Descriptor& d) {
                return d.fd == fd && d.isSocket && d.socketInode == inodeOf(fd);
            });
        };
        EXPECT_TRUE(held(listener.fd) && held(client.fd) && held(datagram.fd) && held(unixA.fd));

        const SocketInfo* listening = source.socketInfo(inodeOf(listener.fd));
        ASSERT_NE(listening, nullptr);
        EXPECT_EQ(listening->family, Family::inet);
        EXPECT_EQ(listening->transport, Transport::tcp);
        EXPECT_EQ(listening->tcpState, 1);
        EXPECT_EQ(listening->localPort, port);
        EXPECT_EQ(listening->remotePort, 0);
        EXPECT_EQ(addressText(listening->family, listening->localAddress), "127.0.0.1");

        const SocketInfo* connected = source.socketInfo(inodeOf(client.fd));
        ASSERT_NE(connected, nullptr);
        EXPECT_EQ(connected->family, Family::inet6);
        EXPECT_EQ(connected->tcpState, 4);
        EXPECT_EQ(connected->remotePort, port);
        EXPECT_EQ(addressText(connected->family, connected->remoteAddress), "::ffff:127.0.0.1");

        const SocketInfo* udp = source.socketInfo(inodeOf(datagram.fd));
        ASSERT_NE(udp, nullptr);
        EXPECT_EQ(udp->transport, Transport::udp);
        EXPECT_EQ(udp->localPort, boundPort(datagram.fd));

        EXPECT_EQ(source.socketInfo(inodeOf(unixA.fd)), nullptr);
    }
}

TEST(ProcSourceLiveTest, AnExecutableDeletedWhileRunningKeepsItsPath) {
    testing::TempDir dir;
    const auto copy = dir.path() / "napper";
    std::filesystem::copy_file("/bin/sleep", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    const std::string program = copy.string();
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("30"), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, argv[0], nullptr, nullptr, argv, nullptr), 0);
    ProcSource source;
    // Until the exec has happened the link still names this test binary.
    for (int i = 0; i < 500 && source.executablePath(child) != program; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(source.executablePath(child), program);
    std::filesystem::remove(copy);
    char raw[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(child) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), raw, sizeof raw);
    EXPECT_EQ(std::string(raw, n > 0 ? static_cast<size_t>(n) : 0), program + " (deleted)");
    EXPECT_EQ(source.executablePath(child), program);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

} // namespace
} // namespace korvel::platform::proc
