#include "platform/xpc/connection.h"
#include "platform/xpc/unix_socket.h"
#include "tests/support/temp_dir.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvel::platform::xpc {
namespace {

// A service that dies while a connect waits in its backlog: the socket is
// accepted by nobody and closed without a greeting. The request goes again
// on a fresh socket and is answered there, with no interruption reported.
TEST(ConnectionResendTest, ASocketClosedBeforeItsGreetingIsReplacedAndTheRequestResent) {
    testing::TempDir dir;
    const std::string path = dir.str() + "/service.sock";
    const int listenFd = listenUnixSocket(path, true);
    ASSERT_GE(listenFd, 0);
    std::promise<void> done;
    std::atomic<int> requestsSeen{0};
    std::thread server([&, finished = done.get_future()] {
        ::close(::accept(listenFd, nullptr, nullptr));
        const int fd = ::accept(listenFd, nullptr, nullptr);
        sendAll(fd, std::string(1, kAcceptGreeting));
        char request[256]; // a small frame arrives in one piece on a local socket
        if (::recv(fd, request, sizeof request, 0) > 0) {
            ++requestsSeen;
            sendAll(fd, encodeReplyFrame(std::string("alive")));
        }
        finished.wait();
        ::close(fd);
    });
    ConnectionOptions options;
    options.socketPathOverride = path;
    options.serviceExecutable = "/nonexistent";
    auto connection = Connection::create("test.service", options);
    std::atomic<int> interruptions{0};
    connection->setInterruptionHandler([&] { ++interruptions; });
    connection->resume();

    std::promise<std::string> outcome;
    connection->send(
        {"x", false}, [&](const Reply& reply) { outcome.set_value(reply.value_or("nil")); },
        [&](const std::string& error) { outcome.set_value("error: " + error); });
    auto result = outcome.get_future();
    const bool answered = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    const int interruptedWhileServed = interruptions; // the server's own hang-up comes later
    done.set_value();
    ::shutdown(listenFd, SHUT_RDWR); // wakes an accept still waiting
    server.join();
    ::close(listenFd);
    ASSERT_TRUE(answered);
    EXPECT_EQ(result.get(), "alive");
    EXPECT_EQ(requestsSeen, 1);
    EXPECT_EQ(interruptedWhileServed, 0);
}

} // namespace
} // namespace korvel::platform::xpc
