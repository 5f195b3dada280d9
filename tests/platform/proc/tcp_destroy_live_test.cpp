#include "platform/proc/sock_diag.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::platform::proc {
namespace {

uint64_t cookieOf(int fd) {
    uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    return ::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size) == 0 ? cookie : 0;
}

// Our own connection over ::ffff:127.0.0.1, 100,000 bytes one way and 300
// back, then closed by both ends. What a listener opened first heard of its
// two sockets' ends, as "client in/out, accepted in/out", or what failed.
// No assertions here: it may run in a forked child.
std::string finalBytesHeardOfOwnConnection() {
    TcpDestroyListener listener;
    if (!listener.isOpen()) {
        return "listener refused";
    }
    const int server = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr);
    socklen_t size = sizeof address;
    const int client = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 1) != 0 ||
        ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return "no loopback connection";
    }
    const int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    std::string bytes(100000, 'x');
    if (::send(client, bytes.data(), bytes.size(), 0) != 100000 ||
        ::recv(accepted, bytes.data(), bytes.size(), MSG_WAITALL) != 100000 ||
        ::send(accepted, bytes.data(), 300, 0) != 300 ||
        ::recv(client, bytes.data(), 300, MSG_WAITALL) != 300) {
        return "transfer failed";
    }
    const uint64_t clientCookie = cookieOf(client);
    const uint64_t acceptedCookie = cookieOf(accepted);
    ::close(client);
    ::recv(accepted, bytes.data(), 1, 0);
    ::close(accepted);
    ::close(server);

    std::map<uint64_t, std::string> heard;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (heard.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::vector<SocketInfo> sockets;
        listener.receive(sockets, 100);
        for (const SocketInfo& socket : sockets) {
            if (socket.cookie == clientCookie || socket.cookie == acceptedCookie) {
                heard[*socket.cookie] = std::to_string(socket.bytesReceived.value_or(0)) + "/" +
                                        std::to_string(socket.bytesAcked.value_or(0));
            }
        }
    }
    return heard[clientCookie] + ", " + heard[acceptedCookie];
}

// The kernel lets any user hear TCP ends; as root the check runs in a child
// that has become nobody first, as an ordinary user would run it.
TEST(TcpDestroyListenerLiveTest, AnOrdinaryUserHearsTheFinalBytesOfItsOwnConnection) {
    // In/out. The kernel counts the FIN each end received, and the first
    // closer's own FIN once acknowledged: one byte each, left in.
    const std::string expected = "301/100001, 100001/300";
    if (::geteuid() != 0) {
        EXPECT_EQ(finalBytesHeardOfOwnConnection(), expected);
        return;
    }
    constexpr uid_t kNobody = 65534;
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe[0]);
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
                             ::setuid(kNobody) == 0 && ::geteuid() == kNobody;
        const std::string result = dropped ? finalBytesHeardOfOwnConnection() : "";
        [[maybe_unused]] const ssize_t written = ::write(pipe[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string result;
    char chunk[256];
    for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) > 0;) {
        result.append(chunk, static_cast<size_t>(got));
    }
    ::close(pipe[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (result.empty()) {
        GTEST_SKIP() << "could not become nobody";
    }
    EXPECT_EQ(result, expected);
}

} // namespace
} // namespace korvel::platform::proc
