#include "helper/socket_end_watch.h"
#include "platform/clock/absolute_time.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvel {
namespace {

using namespace std::chrono_literals;

uint64_t cookieOf(int fd) {
    uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size), 0);
    return cookie;
}

// The reply to one request with no sockets of its own.
HelperResponse emptyReading(SocketEndWatch& watch, EndedSocketsCursor& cursor) {
    watch.requested();
    HelperResponse response;
    response.timestamp = platform::secondsSince2001();
    watch.complete(response, cursor);
    return response;
}

// A connection over ::ffff:127.0.0.1 that opens and closes between two
// readings: no reading lists it, yet its two ends' final bytes reach this
// process, since the watcher found them among its descriptors meanwhile.
TEST(SocketWatcherLiveTest, AConnectionBetweenTwoReadingsReachesItsProcess) {
    SocketEndWatch watch;
    EndedSocketsCursor cursor;
    emptyReading(watch, cursor);
    ASSERT_TRUE(watch.isListening());

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
    const uint64_t clientCookie = cookieOf(client);
    const uint64_t acceptedCookie = cookieOf(accepted);
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!(watch.isAttributed(clientCookie) && watch.isAttributed(acceptedCookie)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(watch.isAttributed(clientCookie) && watch.isAttributed(acceptedCookie));
    std::string bytes(100000, 'x');
    ASSERT_EQ(::send(client, bytes.data(), bytes.size(), 0), 100000);
    ASSERT_EQ(::recv(accepted, bytes.data(), bytes.size(), MSG_WAITALL), 100000);
    ASSERT_EQ(::send(accepted, bytes.data(), 300, 0), 300);
    ASSERT_EQ(::recv(client, bytes.data(), 300, MSG_WAITALL), 300);
    ::close(client);
    ASSERT_EQ(::recv(accepted, bytes.data(), 1, 0), 0);
    ::close(accepted);
    ::close(server);

    std::map<uint64_t, std::string> ended;
    deadline = std::chrono::steady_clock::now() + 5s;
    while (ended.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        const HelperResponse reply = emptyReading(watch, cursor);
        for (const HelperConnectionData& row : reply.endedConnections) {
            if (row.cookie == clientCookie || row.cookie == acceptedCookie) {
                ended[*row.cookie] = std::to_string(row.pid) + " " +
                                     std::to_string(row.bytesIn.value_or(0)) + "/" +
                                     std::to_string(row.bytesOut.value_or(0));
            }
        }
    }
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(ended[clientCookie], pid + " 301/100001");
    EXPECT_EQ(ended[acceptedCookie], pid + " 100001/300");
}

// A client asking every 2 s that once asks out of turn still has a 2 s
// period: the watch keeps listening for two of them.
TEST(SocketWatcherLiveTest, ARequestOutOfTurnDoesNotShortenTheClientsPeriod) {
    SocketEndWatch watch;
    const auto now = SocketEndWatch::Clock::now();
    for (const auto ago : {6s, 4s, 2s}) {
        ASSERT_TRUE(watch.requested(now - ago));
    }
    watch.requested(now - 1900ms);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(watch.isListening());
}

} // namespace
} // namespace korvel
