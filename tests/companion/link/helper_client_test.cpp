#include "companion/link/helper_client.h"
#include "companion/link/helper_connection.h"
#include "platform/clock/absolute_time.h"
#include "platform/service/connection.h"
#include "platform/service/unix_socket.h"
#include "platform/system/memory_figures.h"
#include "shared/helper_response.h"
#include "tests/companion/link/fake_helper_service.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace korvel {
namespace {

using namespace std::chrono_literals;
using platform::log::Level;
using platform::log::LogRecord;
using platform::service::Reply;
using Record = std::pair<Level, std::string>;
using Service = testing::FakeHelperService;

constexpr auto kPatience = 30s; // only guards against a hang; never a timing rule

std::string document(size_t processCount) {
    HelperResponse response;
    response.processes.assign(processCount, {100, "proc", "/usr/bin/proc", 5, 7});
    response.connections.push_back({100, "TCP", "10.0.0.1", 443, "10.0.0.2", 50000, 4});
    response.timestamp = 7.5e8;
    response.gpuCoreCount = 8;
    return *encodeHelperResponse(response);
}

class HelperClientTest : public ::testing::Test {
protected:
    // Whatever happened, no completion may have been dropped or run twice.
    void TearDown() override {
        testing::killHelpers();
        for (const auto& calls : completionCounts) {
            EXPECT_EQ(calls->load(), 1);
        }
    }

    // A client on this test's socket, its records captured, its reconnects held
    // until the test runs them.
    std::shared_ptr<HelperClient> makeClient(std::string executable,
                                             std::chrono::milliseconds deadline = 30s) {
        auto factory = [this, executable, deadline] {
            ++connectionsMade;
            platform::service::ConnectionOptions options;
            options.serviceExecutable = executable;
            options.socketPathOverride = socketPath();
            options.requestDeadline = deadline;
            return makeHelperConnection(options);
        };
        auto schedule = [this](double seconds, std::function<void()> work) {
            std::lock_guard lock(mutex);
            scheduled.push_back({seconds, std::move(work)});
            changed.notify_all();
        };
        platform::log::Logger log("qn.Korvel", "XPC", [this](const LogRecord& record) {
            EXPECT_EQ(record.subsystem + "/" + record.category, "qn.Korvel/XPC");
            std::lock_guard lock(mutex);
            records.emplace_back(record.level, record.message);
            changed.notify_all();
        });
        return HelperClient::create(factory, schedule, log);
    }

    std::string socketPath() const { return runtime.str() + "/helper.sock"; }

    // Fetches and waits for the completion; counts how often it ran.
    HelperResponse fetch(HelperClient& client, bool showSystem = true) {
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto promise = std::make_shared<std::promise<HelperResponse>>();
        auto result = promise->get_future();
        client.fetchData(showSystem, [calls, promise](HelperResponse response) {
            if (calls->fetch_add(1) == 0) {
                promise->set_value(std::move(response));
            }
        });
        completionCounts.push_back(calls); // a completion that never runs fails at the end
        return result.wait_for(kPatience) == std::future_status::ready ? result.get()
                                                                       : HelperResponse{};
    }

    // The invalidation follows the completion on the connection's thread.
    bool waitForScheduled() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return !scheduled.empty(); });
    }

    std::vector<Record> logged() {
        std::lock_guard lock(mutex);
        return records;
    }

    size_t countOf(Level level, const std::string& prefix) {
        const auto log = logged();
        return static_cast<size_t>(std::ranges::count_if(log, [&](const Record& record) {
            return record.first == level && record.second.starts_with(prefix);
        }));
    }

    bool waitForRecord(Level level, const std::string& prefix) {
        for (auto end = std::chrono::steady_clock::now() + kPatience;
             countOf(level, prefix) == 0 && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(1ms);
        }
        return countOf(level, prefix) > 0;
    }

    static void expectFallback(const HelperResponse& response, double before) {
        EXPECT_TRUE(response.processes.empty() && response.connections.empty());
        EXPECT_FALSE(response.gpuCoreCount || response.gpuUsagePercent ||
                     response.cpuTemperatureCelsius || response.gpuTemperatureCelsius);
        EXPECT_GE(response.timestamp, before);
        EXPECT_LE(response.timestamp, platform::secondsSince2001());
        EXPECT_EQ(response.totalRam, platform::readMemoryFigures().total) << "the local reading";
    }

    testing::TempDir runtime;
    testing::ScopedEnv runtimeDir{"XDG_RUNTIME_DIR", runtime.str()};
    std::atomic<int> connectionsMade{0};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Record> records;
    std::vector<std::pair<double, std::function<void()>>> scheduled;
    std::vector<std::shared_ptr<std::atomic<int>>> completionCounts;
};

TEST_F(HelperClientTest, RepliesAreDecodedAndNilGarbageOrIncompleteOnesBecomeTheFallback) {
    Service service(socketPath());
    auto withoutFreeRam = document(1);
    withoutFreeRam.replace(withoutFreeRam.find("\"freeRam\""), 9, "\"freeRAM\"");
    for (const Reply& reply : std::vector<Reply>{document(2), document(0), std::nullopt,
                                                 "{not json", withoutFreeRam, document(1)}) {
        service.script(reply);
    }
    auto client = makeClient("/nonexistent/korvel-helper");

    EXPECT_EQ(fetch(*client, true), *decodeHelperResponse(document(2)));
    const auto empty = fetch(*client, false);
    EXPECT_TRUE(empty.processes.empty()) << "an empty process list is a valid reading";
    EXPECT_EQ(empty.gpuCoreCount, 8) << "a real reply, not the fallback";
    for (int i = 0; i < 3; ++i) {
        const double before = platform::secondsSince2001();
        expectFallback(fetch(*client), before);
    }
    EXPECT_EQ(fetch(*client).processes.size(), 1u);

    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].selector, "fetchDataWithShowSystem:reply:");
    EXPECT_TRUE(requests[0].argument);
    EXPECT_FALSE(requests[1].argument);
    EXPECT_EQ(logged(),
              (std::vector<Record>{{Level::info, "XPC connection created"},
                                   {Level::debug, "fetchData: got 2 processes"},
                                   {Level::debug, "fetchData: got 0 processes"},
                                   {Level::error, "fetchData: decode failed (data nil: 1)"},
                                   {Level::error, "fetchData: decode failed (data nil: 0)"},
                                   {Level::debug, "fetchData: got 1 processes"},
                                   {Level::info, "fetchData: the helper answers again"}}))
        << "each kind of failure once until a reading comes through";
    EXPECT_TRUE(scheduled.empty()) << "a bad reply does not reconnect";
}

TEST_F(HelperClientTest, HelperDyingOrHangingMidRequestAnswersOnceAndKeepsTheConnection) {
    Service service(socketPath());
    service.script(Service::Crash{});
    service.script(Service::Hang{});
    service.script(Reply{document(3)});
    auto client = makeClient("/nonexistent/korvel-helper", 200ms);

    const double before = platform::secondsSince2001();
    expectFallback(fetch(*client), before);
    EXPECT_TRUE(waitForRecord(Level::fault, "XPC connection interrupted"));
    expectFallback(fetch(*client), before); // ends through the request deadline
    // Answered on the same connection: any second completion of the first two
    // requests would have been delivered before this reply.
    EXPECT_EQ(fetch(*client).processes.size(), 3u);

    EXPECT_EQ(connectionsMade, 1);
    EXPECT_TRUE(scheduled.empty());
    EXPECT_EQ(countOf(Level::error, "XPC remote error: "), 2u);
    EXPECT_EQ(countOf(Level::error, "XPC remote error: The request to service named "
                                    "qn.Korvel.companion.helper timed out."),
              1u);
    EXPECT_EQ(countOf(Level::debug, "fetchData: got 3 processes"), 1u);
    EXPECT_EQ(countOf(Level::error, "XPC connection invalidated"), 0u);
}

TEST_F(HelperClientTest, MissingHelperInvalidatesAndReconnectsHalfASecondLater) {
    auto client = makeClient(runtime.str() + "/no-such-helper");
    const double before = platform::secondsSince2001();

    expectFallback(fetch(*client), before);
    ASSERT_TRUE(waitForScheduled());
    const auto log = logged();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], (Record{Level::info, "XPC connection created"}));
    EXPECT_TRUE(log[1].second.starts_with("XPC remote error: ")) << log[1].second;
    EXPECT_EQ(log[2], (Record{Level::error, "XPC connection invalidated"}));
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].first, 0.5);
    EXPECT_FALSE(std::filesystem::exists(socketPath())) << "no stale socket is left behind";

    // Disconnected: answered at once, no new attempt of its own.
    bool answered = false;
    client->fetchData(false, [&](HelperResponse response) {
        answered = true;
        expectFallback(response, before);
    });
    EXPECT_TRUE(answered);
    EXPECT_EQ(logged().back(), (Record{Level::error, "fetchData: no connection"}));
    EXPECT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(connectionsMade, 1);

    auto reconnect = std::move(scheduled[0].second);
    scheduled.clear();
    reconnect();
    EXPECT_EQ(connectionsMade, 2);
    EXPECT_EQ(countOf(Level::info, "XPC connection created"), 1u) << "quiet while failing";

    // Each invalidation schedules exactly one more attempt, without back-off.
    fetch(*client);
    ASSERT_TRUE(waitForScheduled());
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].first, 0.5);
    EXPECT_EQ(countOf(Level::error, "XPC connection invalidated"), 1u) << "said once";

    // A reconnect that fires after the client is gone does nothing.
    reconnect = std::move(scheduled[0].second);
    std::weak_ptr<HelperClient> gone = client;
    client.reset();
    for (int i = 0; i < 1000 && !gone.expired(); ++i) {
        std::this_thread::sleep_for(1ms); // its invalidation handler may still hold it
    }
    reconnect();
    EXPECT_EQ(connectionsMade, 2);
}

TEST_F(HelperClientTest, RealHelperIsStartedOnDemandAndRelaunchedAfterACrash) {
    auto client = makeClient(testing::helperBinary());
    const auto first = fetch(*client);
    EXPECT_GT(first.totalRam, 0u);
    ASSERT_EQ(countOf(Level::debug, "fetchData: got "), 1u) << "decoded, not the fallback";
    // The helper's bytes are kept, and they are what encoding the reading
    // gives: the snapshot may be written from them.
    ASSERT_TRUE(first.source.text);
    EXPECT_EQ(encodeHelperResponse(first), *first.source.text);

    ASSERT_EQ(testing::waitForHelpers(1).size(), 1u);
    testing::killHelpers();
    EXPECT_TRUE(waitForRecord(Level::fault, "XPC connection interrupted"));
    // The dead helper's sockets are released one by one: until its listening
    // socket is gone too, a new request could still land in its backlog.
    for (int fd; (fd = platform::service::connectUnixSocket(socketPath())) >= 0;) {
        ::close(fd);
        std::this_thread::sleep_for(1ms);
    }

    const auto second = fetch(*client);
    EXPECT_GT(second.timestamp, first.timestamp);
    EXPECT_EQ(countOf(Level::debug, "fetchData: got "), 2u) << "answered by a relaunched helper";
    EXPECT_EQ(connectionsMade, 1) << "the same connection is kept";
    for (const auto& [level, message] : logged()) {
        EXPECT_NE(level, Level::error) << message;
    }
}

} // namespace
} // namespace korvel
