#include "companion/cli/defaults_command.h"
#include "companion/engine/settings_keys.h"
#include "platform/defaults/defaults_path.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/virtual_dispatch.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace korvel {
namespace {

using nlohmann::json;

TEST(DefaultsValue, WordsBecomeTypedValues) {
    std::string error;
    const auto parse = [&](std::string_view flag, std::string_view text) {
        error.clear();
        return parseDefaultsValue(flag, text, error);
    };
    EXPECT_EQ(parse("", "true"), json(true));
    EXPECT_EQ(parse("", "false"), json(false));
    EXPECT_TRUE(parse("", "10")->is_number_integer());
    EXPECT_EQ(parse("", "10"), json(10));
    EXPECT_EQ(parse("", "-3"), json(-3));
    EXPECT_TRUE(parse("", "2.5")->is_number_float());
    EXPECT_EQ(parse("", "1e3"), json(1000.0));
    // Everything else is text, kept exactly.
    for (const char* text :
         {"TRUE", "0x10", "nan", "1e999", " 5", "-", "99999999999999999999", ""}) {
        EXPECT_EQ(parse("", text), json(text)) << text;
    }

    EXPECT_EQ(parse("-string", "true"), json("true"));
    EXPECT_EQ(parse("-bool", "YES"), json(true));
    EXPECT_EQ(parse("-bool", "0"), json(false));
    EXPECT_EQ(parse("-int", "42"), json(42));
    EXPECT_TRUE(parse("-float", "5")->is_number_float());

    EXPECT_EQ(parse("-bool", "maybe"), std::nullopt);
    EXPECT_NE(error.find("maybe"), std::string::npos);
    EXPECT_EQ(parse("-int", "2.5"), std::nullopt);
    EXPECT_EQ(parse("-int", "99999999999999999999"), std::nullopt);
    EXPECT_EQ(parse("-float", "inf"), std::nullopt);
    EXPECT_EQ(parse("-date", "2024"), std::nullopt);
    EXPECT_NE(error.find("-date"), std::string::npos);
}

class DefaultsCommandTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", dir.str().c_str(), 1); }
    void TearDown() override { ::unsetenv("XDG_CONFIG_HOME"); }

    int run(std::vector<std::string_view> args) {
        out.str("");
        err.str("");
        // A fresh store per command, as each command is its own process.
        platform::UserDefaults store(
            platform::kStandardDefaultsDomain,
            platform::defaults::defaultsFilePath(platform::kStandardDefaultsDomain), dispatch);
        return runDefaultsCommand(store, args, out, err);
    }

    testing::TempDir dir;
    platform::VirtualDispatch dispatch;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(DefaultsCommandTest, WriteReadDeleteRoundTrip) {
    EXPECT_EQ(run({"read"}), 0);
    EXPECT_EQ(json::parse(out.str()), json::object());

    EXPECT_EQ(run({"write", settings::kAutoRefreshInterval, "10"}), 0);
    EXPECT_EQ(run({"write", settings::kTrafficEnabled, "false"}), 0);
    EXPECT_EQ(run({"write", settings::kShowSystemProcesses, "-string", "true"}), 0);
    EXPECT_EQ(run({"write", settings::kMenuBarMetric, "network"}), 0);
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(run({"read", settings::kAutoRefreshInterval}), 0);
    EXPECT_EQ(out.str(), "10\n");
    EXPECT_EQ(run({"read", settings::kShowSystemProcesses}), 0);
    EXPECT_EQ(out.str(), "\"true\"\n");
    EXPECT_EQ(run({"read"}), 0);
    EXPECT_EQ(json::parse(out.str()), (json{{"autoRefreshInterval", 10},
                                            {"trafficEnabled", false},
                                            {"showSystemProcesses", "true"},
                                            {"menuBarMetric", "network"}}));

    // What the engine reads from the same file.
    platform::UserDefaults engine(
        platform::kStandardDefaultsDomain,
        platform::defaults::defaultsFilePath(platform::kStandardDefaultsDomain), dispatch);
    EXPECT_EQ(
        engine.integerFor(settings::kAutoRefreshInterval, settings::kAutoRefreshIntervalDefault),
        10);
    EXPECT_FALSE(engine.boolFor(settings::kTrafficEnabled, settings::kTrafficEnabledDefault));
    EXPECT_FALSE(
        engine.boolFor(settings::kShowSystemProcesses, settings::kShowSystemProcessesDefault))
        << "the string \"true\" is not a Boolean";

    EXPECT_EQ(run({"delete", settings::kAutoRefreshInterval}), 0);
    EXPECT_EQ(
        engine.integerFor(settings::kAutoRefreshInterval, settings::kAutoRefreshIntervalDefault),
        settings::kAutoRefreshIntervalDefault);
    EXPECT_EQ(run({"read", settings::kAutoRefreshInterval}), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("does not exist"), std::string::npos) << err.str();
    EXPECT_EQ(run({"delete", settings::kAutoRefreshInterval}), 1);
    EXPECT_NE(err.str().find("does not exist"), std::string::npos) << err.str();
}

TEST_F(DefaultsCommandTest, BadUsageChangesNothing) {
    EXPECT_EQ(run({"write", settings::kAutoRefreshInterval, "-int", "soon"}), 2);
    EXPECT_NE(err.str().find("soon"), std::string::npos);
    for (const auto& args :
         std::vector<std::vector<std::string_view>>{{},
                                                    {"list"},
                                                    {"write", "autoRefreshInterval"},
                                                    {"write", "", "5"},
                                                    {"write", "a", "-int", "5", "extra"},
                                                    {"read", "a", "b"},
                                                    {"delete"}}) {
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(err.str().find("usage:"), std::string::npos);
    }
    EXPECT_EQ(run({"read"}), 0);
    EXPECT_EQ(json::parse(out.str()), json::object());
}

TEST_F(DefaultsCommandTest, DamagedFileIsReportedAndWriteFailuresAreErrors) {
    dir.write("qn.Korvel.companion/defaults.json", "not json");
    EXPECT_EQ(run({"read"}), 0);
    EXPECT_EQ(json::parse(out.str()), json::object());
    EXPECT_NE(err.str().find("not a valid settings file"), std::string::npos) << err.str();

    ::setenv("XDG_CONFIG_HOME", (dir.str() + "/qn.Korvel.companion/defaults.json").c_str(), 1);
    EXPECT_EQ(run({"write", settings::kTrafficEnabled, "true"}), 1);
    EXPECT_NE(err.str().find("could not save"), std::string::npos) << err.str();
}

} // namespace
} // namespace korvel
