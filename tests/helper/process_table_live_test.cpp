#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "platform/clock/absolute_time.h"
#include "platform/proc/sock_diag.h"
#include "platform/service/connection.h"
#include "shared/helper_protocol.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel {
namespace {

// Real descriptors of this test process, closed when the test ends.
struct Descriptors {
    ~Descriptors() {
        for (int fd : fds) {
            ::close(fd);
        }
    }
    int add(int fd) {
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        return fd;
    }
    std::vector<int> fds;
};

// The kernel's cookie of one of our own sockets, as the dump must report it.
uint64_t cookieOf(int fd) {
    uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size), 0);
    return cookie;
}

const HelperProcessData* rowOf(const std::vector<HelperProcessData>& rows, int32_t pid) {
    const auto found =
        std::find_if(rows.begin(), rows.end(), [pid](const auto& r) { return r.pid == pid; });
    return found == rows.end() ? nullptr : &*found;
}

TEST(ProcessTableLiveTest, ThisProcessAndItsSocketsAsTheReplyShowsThem) {
    Descriptors open;
    const int listener = open.add(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t size = sizeof v4;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&v4), &size), 0);
    const uint16_t port = ntohs(v4.sin_port);
    // An IPv6 socket reaching the IPv4 listener: its own ends read ::ffff:127.0.0.1;
    // the accepted end, an IPv4 socket on loopback at both ends, is left out.
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &v6.sin6_addr), 1);
    const int mapped = open.add(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(mapped, reinterpret_cast<sockaddr*>(&v6), sizeof v6), 0);
    const int accepted = open.add(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    // 1000 bytes out and 300 back, each read by the other end; the reply
    // carries the acknowledgement of the 1000.
    std::string bytes(1000, 'x');
    ASSERT_EQ(::send(mapped, bytes.data(), 1000, 0), 1000);
    ASSERT_EQ(::recv(accepted, bytes.data(), 1000, MSG_WAITALL), 1000);
    ASSERT_EQ(::send(accepted, bytes.data(), 300, 0), 300);
    ASSERT_EQ(::recv(mapped, bytes.data(), 300, MSG_WAITALL), 300);
    size = sizeof v6;
    ASSERT_EQ(::getsockname(mapped, reinterpret_cast<sockaddr*>(&v6), &size), 0);
    // UDP on loopback at both ends is kept.
    const int udp = open.add(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    v4.sin_port = 0;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    size = sizeof v4;
    ASSERT_EQ(::getsockname(udp, reinterpret_cast<sockaddr*>(&v4), &size), 0);
    ASSERT_EQ(::connect(udp, reinterpret_cast<sockaddr*>(&v4), sizeof v4), 0);
    const uint16_t udpPort = ntohs(v4.sin_port);

    const std::string exePath = std::filesystem::read_symlink("/proc/self/exe").string();
    const int32_t self = ::getpid();
    // Nothing else: the test binary's other descriptors add no rows.
    const std::vector<HelperConnectionData> expected{
        {self, "TCP", "127.0.0.1", port, "0.0.0.0", 0, 1},
        {self, "TCP6", "::ffff:127.0.0.1", ntohs(v6.sin6_port), "::ffff:127.0.0.1", port, 4},
        {self, "UDP", "127.0.0.1", udpPort, "127.0.0.1", udpPort, -1}};

    for (const bool netlink : {true, false}) {
        SCOPED_TRACE(netlink ? "netlink" : "files");
        platform::proc::ProcSourceOptions options;
        options.useNetlink = netlink;
        platform::proc::ProcSource source(options);
        std::vector<HelperConnectionData> connections;
        const auto rows = collectProcessTable(source, false, connections);
        if (netlink && platform::proc::SockDiagSocket().isOpen()) {
            EXPECT_EQ(source.kernelDumpedTables(), 4) << "all four tables from the kernel's dump";
        }

        const HelperProcessData* me = rowOf(rows, self);
        ASSERT_NE(me, nullptr);
        EXPECT_EQ(me->uid, ::geteuid()) << "kept as the user's own, with its uid";
        EXPECT_EQ(me->execPath, exePath);
        EXPECT_GT(me->memBytes, 1u << 20);
        const double now = platform::secondsSince2001();
        ASSERT_TRUE(me->startTime);
        EXPECT_TRUE(*me->startTime <= now && *me->startTime > now - 3600) << *me->startTime;

        // Only the kernel's dump carries cookies, and byte counters for TCP.
        std::vector<HelperConnectionData> want = expected;
        if (source.kernelDumpedTables() >= 2) {
            want[0].bytesIn = want[0].bytesOut = 0;
            want[1].bytesIn = 300;
            want[1].bytesOut = 1000;
            want[0].cookie = cookieOf(listener);
            want[1].cookie = cookieOf(mapped);
        }
        if (source.kernelDumpedTables() == 4) {
            want[2].cookie = cookieOf(udp);
        }
        std::vector<HelperConnectionData> mine;
        std::copy_if(connections.begin(), connections.end(), std::back_inserter(mine),
                     [self](const HelperConnectionData& row) { return row.pid == self; });
        EXPECT_EQ(mine, want);
    }
}

// A helper of another user, started by that user's client with a runtime
// directory of its own, shows that user's processes and none of root's.
TEST(ProcessTableLiveTest, AnotherUsersHelperListsThatUsersProcessesAndNotRoots) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "becoming another user needs root";
    }
    constexpr uint32_t kNobody = 65534;
    const testing::TempDir runtime;
    ASSERT_EQ(::chown(runtime.str().c_str(), kNobody, kNobody), 0);
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t client = ::fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        ::close(pipe[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(2);
        }
        ::setenv("XDG_RUNTIME_DIR", runtime.str().c_str(), 1);
        platform::service::ConnectionOptions options;
        options.serviceExecutable = testing::helperBinary();
        const auto connection = platform::service::Connection::create(kHelperServiceName, options);
        connection->resume();
        for (const bool showSystem : {false, true}) {
            std::promise<std::string> document;
            connection->send(
                {kFetchDataSelector, showSystem},
                [&](const platform::service::Reply& reply) {
                    document.set_value(reply.value_or(""));
                },
                [&](const std::string&) { document.set_value(""); });
            const std::string text = document.get_future().get() + '\0';
            if (::write(pipe[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
                ::_exit(3);
            }
        }
        connection->invalidate();
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string documents;
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
        documents.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(client, &status, 0);
    {
        const testing::ScopedEnv theirs("XDG_RUNTIME_DIR", runtime.str());
        testing::killHelpers();
    }
    ASSERT_EQ(status, 0);
    const size_t end = documents.find('\0'); // two documents, each ended by a NUL
    const auto theirs = decodeHelperResponse(documents.substr(0, end));
    const auto everyone =
        decodeHelperResponse(documents.substr(end + 1, documents.size() - end - 2));
    ASSERT_TRUE(theirs && everyone);

    const HelperProcessData* own = rowOf(theirs->processes, client);
    ASSERT_NE(own, nullptr) << "the user's own client";
    EXPECT_EQ(own->uid, kNobody);
    EXPECT_EQ(rowOf(theirs->processes, ::getpid()), nullptr) << "root's test process";
    for (const auto& row : theirs->processes) {
        EXPECT_EQ(row.uid.value_or(kNobody), kNobody) << row.name;
    }
    const HelperProcessData* root = rowOf(everyone->processes, ::getpid());
    ASSERT_NE(root, nullptr) << "everyone's with system processes";
    EXPECT_EQ(root->uid, 0u);
}

} // namespace
} // namespace korvel
