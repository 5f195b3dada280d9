#pragma once

#include "platform/service/connection.h"
#include "platform/service/listener.h"
#include "platform/service/unix_socket.h"
#include "tests/support/temp_dir.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <variant>

namespace korvel::platform::service {

using namespace std::chrono_literals;
using Outcome = std::variant<Reply, std::string>; // reply, or the error handler's text

// Sends and waits for whichever handler runs first; a second one is ignored.
inline Outcome sendAndWait(Connection& connection, Request request) {
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

// A client of the service at path; it is not resumed yet.
inline std::shared_ptr<Connection> makeConnection(const std::string& path,
                                                  std::chrono::milliseconds deadline = 10s,
                                                  const std::string& program = "/nonexistent") {
    ConnectionOptions options;
    options.socketPathOverride = path;
    options.serviceExecutable = program;
    options.requestDeadline = deadline;
    return Connection::create("test.service", options);
}

// Echoes the selector; "nil" and "empty" answer so, "big" with 256 KiB.
class EchoService : public RequestHandler {
public:
    std::atomic<bool> hang{false};
    std::atomic<bool> released{false};
    std::atomic<int> bigReplies{0};

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
        } else if (request.selector == "big") {
            ++bigReplies;
            reply(std::string(256 * 1024, 'b'));
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
    }
    void serve() {
        thread = std::thread([this] { listener->run(); });
    }
    void TearDown() override {
        service->released = true;
        listener->stop();
        if (thread.joinable()) {
            thread.join();
        }
    }
    bool shouldAcceptNewConnection(Listener&, IncomingConnection& connection) override {
        ++offered;
        connection.setRequestHandler(service);
        connection.resume();
        return true;
    }

    std::shared_ptr<Connection> connect(std::chrono::milliseconds deadline = 10s) {
        auto connection = makeConnection(socketPath, deadline);
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

} // namespace korvel::platform::service
