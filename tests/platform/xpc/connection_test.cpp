#include "platform/xpc/connection.h"
#include "platform/xpc/listener.h"
#include "platform/xpc/unix_socket.h"
#include "tests/support/temp_dir.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace korvel::platform::xpc {
namespace {

using namespace std::chrono_literals;
using Outcome = std::variant<Reply, std::string>; // reply, or the error handler's text

// Sends and waits for whichever handler runs first; a second one is ignored.
Outcome sendAndWait(Connection& connection, Request request) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    auto settle = [promise, calls = std::make_shared<std::atomic<int>>(0)](Outcome outcome) {
        if (calls->fetch_add(1) == 0) {
            promise->set_value(std::move(outcome));
        }
    };
    connection.send(request, settle, settle);
    if (future.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "no handler ran";
        return std::string("no handler ran");
    }
    return future.get();
}

class EchoService : public ExportedObject {
public:
    std::atomic<bool> hang{false};
    std::atomic<bool> released{false};

    void handle(const Request& request, const std::function<void(const Reply&)>& reply) override {
        if (hang) {
            while (!released) {
                std::this_thread::sleep_for(5ms);
            }
        }
        if (request.selector == "nil") {
            reply(std::nullopt);
        } else if (request.selector == "empty") {
            reply(std::string());
        } else {
            reply(request.selector + (request.argument ? ":yes" : ":no"));
        }
    }
};

// A listener serving EchoService on a socket in a temporary directory; every
// connection it is offered is accepted.
class ServedTest : public ::testing::Test, public ListenerDelegate {
protected:
    void SetUp() override {
        socketPath = dir.str() + "/service.sock";
        const int fd = listenUnixSocket(socketPath, true);
        ASSERT_GE(fd, 0);
        listener = std::make_unique<Listener>(fd);
        listener->setDelegate(this);
        listener->resume();
        thread = std::thread([this] { listener->run(); });
    }
    void TearDown() override {
        service->released = true;
        listener->stop();
        thread.join();
    }
    bool shouldAcceptNewConnection(Listener&, IncomingConnection& connection) override {
        ++offered;
        connection.setExportedObject(service);
        connection.resume();
        return true;
    }

    std::shared_ptr<Connection> connect(std::chrono::milliseconds deadline = 10s) {
        ConnectionOptions options;
        options.socketPathOverride = socketPath;
        options.serviceExecutable = "/nonexistent/korvel-helper";
        options.requestDeadline = deadline;
        auto connection = Connection::create("test.service", options);
        connection->resume();
        return connection;
    }

    testing::TempDir dir;
    std::string socketPath;
    std::shared_ptr<EchoService> service = std::make_shared<EchoService>();
    std::atomic<int> offered{0};
    std::unique_ptr<Listener> listener;
    std::thread thread;
};

TEST_F(ServedTest, RepliesArriveInOrderAndNilDiffersFromEmpty) {
    auto connection = connect();
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"hello", true})), Reply("hello:yes"));
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"nil", false})), Reply());
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"empty", false})), Reply(""));

    // Several requests in flight on one connection are answered in order.
    std::vector<std::future<Outcome>> futures;
    for (int i = 0; i < 20; ++i) {
        futures.push_back(std::async(std::launch::async, [&, i] {
            return sendAndWait(*connection, {"r" + std::to_string(i), i % 2 == 0});
        }));
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(std::get<Reply>(futures[i].get()),
                  Reply("r" + std::to_string(i) + (i % 2 == 0 ? ":yes" : ":no")));
    }
}

TEST_F(ServedTest, MalformedAndOversizedFramesCloseOnlyTheirConnection) {
    const std::vector<std::string> attacks = {
        std::string("\xff\xff\xff\xff", 4) + "x", // absurd length
        std::string("\x00\x00\x04\x01", 4),       // just over the request limit
        std::string("\x00\x00\x00\x03\x09zz", 7), // selector longer than the body
        std::string("\x00\x00\x00\x00", 4),       // empty body
    };
    for (const auto& attack : attacks) {
        const int fd = connectUnixSocket(socketPath);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, attack));
        char byte = 0;
        ASSERT_EQ(::recv(fd, &byte, 1, 0), 1);
        EXPECT_EQ(byte, kAcceptGreeting);
        EXPECT_LE(::recv(fd, &byte, 1, 0), 0) << "the service should hang up";
        ::close(fd);
    }
    // A client that connects and vanishes mid-frame is harmless too.
    const int half = connectUnixSocket(socketPath);
    ASSERT_TRUE(sendAll(half, std::string("\x00\x00\x00\x20", 4)));
    ::close(half);

    auto connection = connect();
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"still", false})), Reply("still:no"));
}

TEST_F(ServedTest, PeersOfAnotherUserAreRefused) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    // Our own directory is private; open it up so the foreign peer gets as
    // far as the credential check.
    ::chmod(dir.str().c_str(), 0755);
    ::chmod(socketPath.c_str(), 0777);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        const int fd = connectUnixSocket(socketPath);
        if (fd < 0) {
            ::_exit(11);
        }
        sendAll(fd, encodeRequestFrame({"hello", true}));
        char byte;
        ::_exit(::recv(fd, &byte, 1, 0) <= 0 ? 0 : 12); // hung up without a reply
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(offered, 0) << "the delegate never sees a foreign peer";
}

TEST_F(ServedTest, HungServiceEndsInTheErrorHandlerAfterTheDeadline) {
    service->hang = true;
    auto connection = connect(300ms);
    const auto outcome = sendAndWait(*connection, {"slow", true});
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_NE(std::get<std::string>(outcome).find("timed out"), std::string::npos);
    service->released = true;
    // The late reply to the abandoned request must not be taken for this one.
    service->hang = false;
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"next", false})), Reply("next:no"));
}

TEST(ConnectionTest, ServiceDyingMidRequestInterruptsOnceAndTheNextRequestReconnects) {
    testing::TempDir dir;
    const std::string path = dir.str() + "/service.sock";
    const int listenFd = listenUnixSocket(path, true);
    ASSERT_GE(listenFd, 0);
    // First client: read the request and hang up, as a crashing service would.
    // Second client: answer properly.
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread server([&] {
        for (int round = 0; round < 2; ++round) {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            sendAll(fd, std::string(1, kAcceptGreeting));
            char request[256]; // a small frame arrives in one piece on a local socket
            (void)::recv(fd, request, sizeof request, 0);
            if (round == 1) {
                sendAll(fd, encodeReplyFrame(std::string("alive")));
                finished.wait(); // a healthy service keeps the connection
            }
            ::close(fd);
        }
    });
    ConnectionOptions options;
    options.socketPathOverride = path;
    options.serviceExecutable = "/nonexistent";
    auto connection = Connection::create("test.service", options);
    std::atomic<int> interruptions{0}, invalidations{0};
    connection->setInterruptionHandler([&] { ++interruptions; });
    connection->setInvalidationHandler([&] { ++invalidations; });
    connection->resume();

    const auto first = sendAndWait(*connection, {"x", false});
    ASSERT_TRUE(std::holds_alternative<std::string>(first));
    EXPECT_NE(std::get<std::string>(first).find("interrupted"), std::string::npos);
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"x", false})), Reply("alive"));
    EXPECT_EQ(interruptions, 1);
    EXPECT_EQ(invalidations, 0);
    done.set_value();
    server.join();
    ::close(listenFd);
}

} // namespace
} // namespace korvel::platform::xpc
