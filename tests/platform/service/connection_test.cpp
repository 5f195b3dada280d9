#include "platform/service/messages.h"
#include "tests/platform/service/served_fixture.h"

#include <fstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::platform::service {
namespace {

// Malformed and oversized frames close only their own connection.
TEST_F(ServedTest, RepliesArriveInOrderNilDiffersFromEmptyAndBadFramesHarmNoOne) {
    serve();
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

TEST_F(ServedTest, ReplyOverTheLimitIsRefusedSayingSoAndTheNextOneServed) {
    serve();
    ConnectionOptions options;
    options.socketPathOverride = socketPath;
    options.maxReplyBody = 256 * 1024; // the big reply's body is one byte more
    auto connection = Connection::create("test.service", options);
    connection->resume();
    EXPECT_EQ(std::get<std::string>(sendAndWait(*connection, {"big", false})),
              "The service's reply of 262145 bytes is over the limit of 262144 bytes.");
    EXPECT_EQ(std::get<Reply>(sendAndWait(*connection, {"hello", false})), Reply("hello:no"));
}

TEST_F(ServedTest, PeersOfAnotherUserAreRefused) {
    serve();
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
    serve();
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

// Round 0 hangs up before its greeting, as a service dying with our connect
// in its backlog would: the request goes again, silently. Round 1 answers it
// and hangs up on the next request, which is interrupted; round 2 answers.
TEST(ConnectionTest, ServiceDyingBeforeItsGreetingIsRetriedAndMidRequestInterruptsOnce) {
    testing::TempDir dir;
    const std::string path = dir.str() + "/service.sock";
    const int listenFd = listenUnixSocket(path, true);
    ASSERT_GE(listenFd, 0);
    std::promise<void> done;
    std::vector<std::string> seen; // the server's until it is joined
    std::thread server([&, finished = done.get_future()] {
        ::close(::accept(listenFd, nullptr, nullptr));
        const auto read = [&](int fd) {
            char request[256]; // a small frame arrives in one piece on a local socket
            seen.emplace_back(request,
                              std::max<ssize_t>(::recv(fd, request, sizeof request, 0), 0));
        };
        for (int round = 1; round <= 2; ++round) {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            sendAll(fd, std::string(1, kAcceptGreeting));
            read(fd);
            sendAll(fd, encodeReplyFrame(std::string("alive")));
            if (round == 1) {
                read(fd);
            } else {
                finished.wait(); // a healthy service keeps the connection
            }
            ::close(fd);
        }
    });
    auto connection = makeConnection(path);
    std::atomic<int> interruptions{0}, invalidations{0};
    connection->setInterruptionHandler([&] { ++interruptions; });
    connection->setInvalidationHandler([&] { ++invalidations; });
    connection->resume();

    const auto first = sendAndWait(*connection, {"a", false});
    const int interruptedBeforeAnswer = interruptions;
    const auto second = sendAndWait(*connection, {"b", false});
    const auto third = sendAndWait(*connection, {"c", false});
    const int interruptedWhileServed = interruptions; // the server's own hang-up comes later
    done.set_value();
    ::shutdown(listenFd, SHUT_RDWR); // wakes an accept still waiting
    server.join();
    ::close(listenFd);
    EXPECT_EQ(first, Outcome(Reply("alive")));
    EXPECT_EQ(interruptedBeforeAnswer, 0);
    ASSERT_TRUE(std::holds_alternative<std::string>(second));
    EXPECT_NE(std::get<std::string>(second).find("interrupted"), std::string::npos);
    EXPECT_EQ(third, Outcome(Reply("alive")));
    EXPECT_EQ(interruptedWhileServed, 1);
    EXPECT_EQ(invalidations, 0);
    EXPECT_EQ(seen, (std::vector<std::string>{encodeRequestFrame({"a", false}),
                                              encodeRequestFrame({"b", false}),
                                              encodeRequestFrame({"c", false})}));
}

TEST(ConnectionTest, ServiceThatNeverAcceptsBlocksNeitherTheCallerNorTheDeadline) {
    // A stopped service: its socket listens, nobody accepts, the backlog is full.
    testing::TempDir dir;
    const std::string path = dir.str() + "/service.sock";
    const int listenFd = listenUnixSocket(path, true);
    ASSERT_GE(listenFd, 0);
    std::vector<int> queued;
    for (int fd; queued.size() < 1000 && (fd = connectUnixSocket(path, true)) >= 0;) {
        queued.push_back(fd);
    }
    auto connection = makeConnection(path, 300ms);
    connection->resume();

    auto outcome = std::make_shared<std::promise<Outcome>>();
    auto settle = [outcome](Outcome result) { outcome->set_value(std::move(result)); };
    auto sent = std::async(std::launch::async, [&] {
        connection->send({"x", false}, settle, settle);
    });
    const auto returned = sent.wait_for(10s);
    auto result = outcome->get_future();
    const auto answered = result.wait_for(10s);
    for (int fd : queued) {
        ::close(fd);
    }
    ::close(listenFd); // lets a blocked connect go
    EXPECT_EQ(returned, std::future_status::ready) << "send blocked its caller";
    ASSERT_EQ(answered, std::future_status::ready) << "the deadline never fired";
    const auto error = std::get<std::string>(result.get());
    EXPECT_NE(error.find("timed out"), std::string::npos) << error;
}

TEST_F(ServedTest, ConnectionMadeWithoutDescriptorsLeftStillEndsEachRequest) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers test memory through a pipe; with no descriptor left they
    // take every virtual call for a bad one. The plain build runs this test.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    serve();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree); // no new descriptor can be made
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    auto connection = connect(2s);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    std::this_thread::sleep_for(100ms);     // its thread is asleep by the time we send
    sendAndWait(*connection, {"x", false}); // fails the test when nothing answers
}

TEST(ConnectionTest, ServiceDyingBeforeItsGreetingIsRestartedAfterAPauseAndReportedOnce) {
    testing::TempDir dir;
    const auto starts = dir.path() / "starts";
    const auto program = dir.write("dies", "#!/bin/sh\necho >> '" + starts.string() + "'\n");
    ::chmod(program.c_str(), 0755);
    const auto startCount = [&] {
        std::ifstream in(starts);
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    };
    auto connection = makeConnection(dir.str() + "/service.sock", 10s, program);
    std::atomic<int> interruptions{0};
    connection->setInterruptionHandler([&] { ++interruptions; });
    connection->resume();

    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(std::holds_alternative<std::string>(sendAndWait(*connection, {"x", false})));
    }
    EXPECT_EQ(startCount(), 1);
    std::this_thread::sleep_for(Connection::kFirstRelaunchPause + 100ms);
    EXPECT_TRUE(std::holds_alternative<std::string>(sendAndWait(*connection, {"x", false})));
    EXPECT_EQ(startCount(), 2);
    EXPECT_EQ(interruptions, 1);
}

std::string bodyOf(const std::string& frame) {
    return frame.substr(kFrameHeaderSize);
}

TEST(MessagesTest, BodiesRoundTripMalformedOnesAreRejectedAndFramesReassembled) {
    const auto request =
        decodeRequestBody(bodyOf(encodeRequestFrame({"fetchDataWithShowSystem:reply:", true})));
    ASSERT_TRUE(request);
    EXPECT_EQ(request->selector, "fetchDataWithShowSystem:reply:");
    EXPECT_TRUE(request->argument);
    const std::string withNul("{\0}", 3);
    EXPECT_EQ(decodeReplyBody(bodyOf(encodeReplyFrame(withNul))), std::optional<Reply>(withNul));

    // Empty; selector running past the end; argument not a Boolean; trailing bytes.
    for (const std::string& body : {std::string(), std::string("\5abc\1", 5),
                                    std::string("\1a\2", 3), std::string("\1a\1\0", 4)}) {
        EXPECT_FALSE(decodeRequestBody(body));
    }
    for (const std::string& body : {std::string(), std::string("\x00x", 2), std::string("\x07")}) {
        EXPECT_FALSE(decodeReplyBody(body));
    }
    const std::string frames =
        encodeReplyFrame(std::string("first")) + encodeReplyFrame(std::nullopt);
    FrameReader reader(1024);
    std::string body;
    std::vector<std::string> bodies;
    for (char byte : frames) { // one byte at a time, the worst a socket can do
        reader.append(&byte, 1);
        while (reader.next(body) == FrameReader::Status::complete) {
            bodies.push_back(body);
        }
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{std::string("\001first"), std::string(1, '\0')}));

    FrameReader small(16);
    const std::string header("\x00\x00\x00\x11", 4); // 17 bytes announced
    small.append(header.data(), 4);
    EXPECT_EQ(small.next(body), FrameReader::Status::tooLarge);
    FrameReader huge(kDefaultMaxReplyBody);
    huge.append("\xff\xff\xff\xff", 4);
    EXPECT_EQ(huge.next(body), FrameReader::Status::tooLarge);
}

} // namespace
} // namespace korvel::platform::service
