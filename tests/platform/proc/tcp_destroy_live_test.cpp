#include "platform/proc/sock_diag.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace korvel::platform::proc {
namespace {

uint64_t cookieOf(int fd) {
    uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size), 0);
    return cookie;
}

// Our own connection over ::ffff:127.0.0.1, 100,000 bytes one way and 300
// back, then closed by both ends: its two sockets' ends are heard, with their
// final counters, by whoever runs the test (no privilege needed).
TEST(TcpDestroyListenerLiveTest, HearsTheFinalBytesOfTheTestsOwnConnection) {
    TcpDestroyListener listener;
    ASSERT_TRUE(listener.isOpen());
    const int server = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &address.sin6_addr), 1);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const int client = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int accepted = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    std::string bytes(100000, 'x');
    ASSERT_EQ(::send(client, bytes.data(), bytes.size(), 0), 100000);
    ASSERT_EQ(::recv(accepted, bytes.data(), bytes.size(), MSG_WAITALL), 100000);
    ASSERT_EQ(::send(accepted, bytes.data(), 300, 0), 300);
    ASSERT_EQ(::recv(client, bytes.data(), 300, MSG_WAITALL), 300);
    const uint64_t clientCookie = cookieOf(client);
    const uint64_t acceptedCookie = cookieOf(accepted);
    ::close(client);
    ASSERT_EQ(::recv(accepted, bytes.data(), 1, 0), 0);
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
    // In/out. The kernel counts the FIN each end received, and the first
    // closer's own FIN once acknowledged: one byte each, left in.
    EXPECT_EQ(heard[clientCookie], "301/100001");
    EXPECT_EQ(heard[acceptedCookie], "100001/300");
}

} // namespace
} // namespace korvel::platform::proc
