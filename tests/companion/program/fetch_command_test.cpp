#include "companion/program/fetch_command.h"
#include "platform/service/connection.h"
#include "shared/helper_protocol.h"
#include "shared/helper_response.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace korvel {
namespace {

class FetchCommandTest : public ::testing::Test {
protected:
    void TearDown() override { testing::killHelpers(); }

    int fetch(const std::string& executable, std::string& out, std::string& err) {
        platform::service::ConnectionOptions options;
        options.serviceExecutable = executable;
        std::ostringstream o, e;
        const int status = runFetchCommand(
            platform::service::Connection::create(kHelperServiceName, options), true, o, e);
        out = o.str();
        err = e.str();
        return status;
    }

    testing::TempDir runtime;
    testing::ScopedEnv runtimeDir{"XDG_RUNTIME_DIR", runtime.str()};
};

TEST_F(FetchCommandTest, ConcurrentFirstFetchesStartOneHelperThatLaterFetchesReuse) {
    std::vector<std::thread> clients;
    std::vector<std::optional<HelperResponse>> readings(6);
    for (auto& reading : readings) {
        clients.emplace_back([this, slot = &reading] {
            std::string out, err;
            if (fetch(testing::helperBinary(), out, err) == 0) {
                *slot = decodeHelperResponse(out);
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    for (const auto& reading : readings) {
        ASSERT_TRUE(reading);
        EXPECT_GT(reading->totalRam, 0u);
    }
    const auto helpers = testing::waitForHelpers(1);
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_TRUE(
        std::filesystem::exists(runtime.path() / "qn.Korvel" / "qn.Korvel.companion.helper.sock"));

    ::kill(helpers[0], SIGHUP); // it has no terminal to lose
    std::string out, err;
    ASSERT_EQ(fetch(testing::helperBinary(), out, err), 0) << err;
    const auto later = decodeHelperResponse(out);
    ASSERT_TRUE(later);
    EXPECT_GT(later->timestamp, readings[0]->timestamp);
    EXPECT_EQ(testing::helpersForThisRuntimeDir(), helpers) << "the running helper is reused";
}

TEST_F(FetchCommandTest, UnreachableHelperIsAOneLineErrorAndNonZeroExit) {
    std::string out, err;
    EXPECT_NE(fetch(runtime.str() + "/no-such-helper", out, err), 0);
    EXPECT_TRUE(out.empty());
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
}

} // namespace
} // namespace korvel
