#include "companion/cli/fetch_command.h"
#include "platform/xpc/connection.h"
#include "shared/helper_protocol.h"
#include "shared/helper_response.h"
#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace korvel {
namespace {

using namespace std::chrono_literals;

class FetchCommandTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_RUNTIME_DIR", runtime.str().c_str(), 1); }
    void TearDown() override { testing::killHelpers(); }

    std::shared_ptr<platform::xpc::Connection> connection(const std::string& executable) {
        platform::xpc::ConnectionOptions options;
        options.serviceExecutable = executable;
        return platform::xpc::Connection::create(kHelperServiceName, options);
    }

    int fetch(const std::string& executable, std::string& out, std::string& err) {
        std::ostringstream o, e;
        const int status = runFetchCommand(connection(executable), true, o, e);
        out = o.str();
        err = e.str();
        return status;
    }

    std::vector<pid_t> waitForHelpers(size_t count) {
        for (int i = 0; i < 200; ++i) {
            auto pids = testing::helpersForThisRuntimeDir();
            if (pids.size() == count) {
                return pids;
            }
            std::this_thread::sleep_for(10ms);
        }
        return testing::helpersForThisRuntimeDir();
    }

    testing::TempDir runtime;
};

TEST_F(FetchCommandTest, StartsTheHelperOnDemandReusesItAndRelaunchesItAfterAKill) {
    std::string out, err;
    ASSERT_EQ(fetch(testing::helperBinary(), out, err), 0) << err;
    const auto first = decodeHelperResponse(out);
    ASSERT_TRUE(first);
    EXPECT_GT(first->totalRam, 0u);
    const auto helpers = waitForHelpers(1);
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_TRUE(
        std::filesystem::exists(runtime.path() / "qn.Korvel" / "qn.Korvel.companion.helper.sock"));

    ASSERT_EQ(fetch(testing::helperBinary(), out, err), 0) << err;
    const auto second = decodeHelperResponse(out);
    ASSERT_TRUE(second);
    EXPECT_GT(second->timestamp, first->timestamp);
    EXPECT_EQ(testing::helpersForThisRuntimeDir(), helpers) << "the running helper is reused";

    testing::killHelpers();
    ASSERT_TRUE(waitForHelpers(0).empty());
    ASSERT_EQ(fetch(testing::helperBinary(), out, err), 0) << err;
    EXPECT_TRUE(decodeHelperResponse(out));
    const auto relaunched = waitForHelpers(1);
    ASSERT_EQ(relaunched.size(), 1u);
    EXPECT_NE(relaunched, helpers);
}

TEST_F(FetchCommandTest, UnreachableHelperIsAOneLineErrorAndNonZeroExit) {
    std::string out, err;
    EXPECT_NE(fetch(runtime.str() + "/no-such-helper", out, err), 0);
    EXPECT_TRUE(out.empty());
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

TEST_F(FetchCommandTest, ConcurrentFirstFetchesStartOneHelper) {
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back([&] {
            std::string out, err;
            if (fetch(testing::helperBinary(), out, err) != 0) {
                ++failures;
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(waitForHelpers(1).size(), 1u);
}

} // namespace
} // namespace korvel
