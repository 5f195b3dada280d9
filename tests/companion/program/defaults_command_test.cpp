#include "companion/engine/settings_keys.h"
#include "companion/program/defaults_command.h"
#include "platform/defaults/defaults_path.h"
#include "platform/defaults/user_defaults.h"
#include "tests/support/virtual_dispatch.h"

#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace korvel {
namespace {

using nlohmann::json;
using namespace std::string_literals;

TEST(DefaultsValue, WordsBecomeTypedValues) {
    std::string error;
    const auto parse = [&](std::string_view flag, std::string_view text) {
        error.clear();
        return parseDefaultsValue(flag, text, error);
    };
    // Plain words become Booleans and numbers where they read as one; a flag forces the type.
    const std::vector<std::tuple<const char*, const char*, json>> cases = {
        {"", "true", true},    {"", "false", false},       {"", "10", 10},
        {"", "-3", -3},        {"", "2.5", 2.5},           {"", "1e3", 1000.0},
        {"-bool", "0", false}, {"-bool", "YES", true},     {"-int", "42", 42},
        {"-float", "5", 5.0},  {"-string", "true", "true"}};
    for (const auto& [flag, text, value] : cases) {
        const auto parsed = parse(flag, text);
        EXPECT_EQ(parsed, value) << flag << " " << text;
        EXPECT_EQ(parsed.value_or(json()).is_number_float(), value.is_number_float()) << text;
    }
    // Everything else is text, kept exactly.
    for (const char* text :
         {"TRUE", "0x10", "nan", "1e999", " 5", "-", "99999999999999999999", ""}) {
        EXPECT_EQ(parse("", text), json(text)) << text;
    }
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
    int run(std::vector<std::string_view> args) {
        out.str("");
        err.str("");
        // A fresh store per command, as each command is its own process.
        platform::UserDefaults store(
            platform::kStandardDefaultsDomain,
            platform::defaults::defaultsFilePath(platform::kStandardDefaultsDomain), dispatch);
        return runDefaultsCommand(store, args, out, err);
    }
    // Every setting as `read` prints them; null when it fails.
    json readAll() { return run({"read"}) == 0 ? json::parse(out.str()) : json(); }

    testing::TempDir dir;
    testing::ScopedEnv configDir{"XDG_CONFIG_HOME", dir.str()};
    testing::VirtualDispatch dispatch;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(DefaultsCommandTest, WriteReadDeleteRoundTrip) {
    EXPECT_EQ(readAll(), json::object());

    EXPECT_EQ(run({"write", settings::kAutoRefreshInterval, "10"}), 0);
    EXPECT_EQ(run({"write", settings::kTrafficEnabled, "false"}), 0);
    EXPECT_EQ(run({"write", settings::kShowSystemProcesses, "-string", "true"}), 0);
    EXPECT_EQ(run({"write", settings::kMenuBarMetric, "network"}), 0);
    EXPECT_EQ(err.str(), "");

    EXPECT_EQ(run({"read", settings::kAutoRefreshInterval}), 0);
    EXPECT_EQ(out.str(), "10\n");
    EXPECT_EQ(run({"read", settings::kShowSystemProcesses}), 0);
    EXPECT_EQ(out.str(), "\"true\"\n");
    EXPECT_EQ(readAll(), (json{{"autoRefreshInterval", 10},
                               {"trafficEnabled", false},
                               {"showSystemProcesses", "true"},
                               {"menuBarMetric", "network"}}));

    // What the engine reads from the same file: the string "true" is no Boolean.
    platform::UserDefaults engine(
        platform::kStandardDefaultsDomain,
        platform::defaults::defaultsFilePath(platform::kStandardDefaultsDomain), dispatch);
    EXPECT_EQ(engine.integerFor(settings::kAutoRefreshInterval, 0), 10);
    EXPECT_FALSE(engine.boolFor(settings::kShowSystemProcesses, false));

    EXPECT_EQ(run({"delete", settings::kAutoRefreshInterval}), 0);
    EXPECT_EQ(run({"read", settings::kAutoRefreshInterval}), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("does not exist"), std::string::npos) << err.str();
    EXPECT_EQ(run({"delete", settings::kAutoRefreshInterval}), 1);
    EXPECT_NE(err.str().find("does not exist"), std::string::npos) << err.str();
}

TEST_F(DefaultsCommandTest, BadUsageChangesNothing) {
    EXPECT_EQ(run({"write", settings::kAutoRefreshInterval, "-int", "soon"}), 2);
    EXPECT_NE(err.str().find("soon"), std::string::npos);
    const std::vector<std::vector<std::string_view>> usages = {
        {},         {"list"},           {"write", "autoRefreshInterval"},    {"write", "", "5"},
        {"delete"}, {"read", "a", "b"}, {"write", "a", "-int", "5", "extra"}};
    for (const auto& args : usages) {
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(err.str().find("Usage:"), std::string::npos);
    }
    // The file is JSON: text that is not UTF-8 cannot go in.
    for (const auto& args : std::vector<std::vector<std::string_view>>{
             {"write", "\xff", "1"}, {"write", "k", "\xff"}, {"write", "k", "-string", "a\xc3"}}) {
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(err.str().find("not valid UTF-8"), std::string::npos) << err.str();
    }
    // A history cap of 0 or -1 would delete nearly all of it.
    for (const char* cap : {"0", "-1", "9", "1048577"}) {
        EXPECT_EQ(run({"write", settings::kHistoryMaxMegabytes, cap}), 2) << cap;
        EXPECT_NE(err.str().find("from 10 to 1048576"), std::string::npos) << err.str();
    }
    // Plans the companion could not use, or text that is not JSON, are refused with the reason.
    EXPECT_EQ(run({"write", "dataPlans", "-json", R"([{"network": "x", "capBytes": 0}])"}), 2);
    EXPECT_NE(err.str().find("\"capBytes\" of x"), std::string::npos) << err.str();
    EXPECT_EQ(run({"write", "dataPlans", "-json", "[{"}), 2);
    EXPECT_EQ(readAll(), json::object());
    EXPECT_EQ(run({"write", settings::kHistoryMaxMegabytes, "10"}), 0);
    EXPECT_EQ(run({"write", "dataPlans", "-json", R"([{"network": "x", "capBytes": 5}])"}), 0);
    EXPECT_EQ(readAll()["dataPlans"][0]["capBytes"], 5);
}

TEST_F(DefaultsCommandTest, DamagedFileIsReportedAndWriteFailuresAreErrors) {
    // Nested far deeper than any setting is not valid either, and read without recursing.
    for (const std::string& damaged :
         {"not json"s, "{\"x\": " + std::string(100000, '[') + std::string(100000, ']') + "}"}) {
        dir.write("qn.Korvel.companion/defaults.json", damaged);
        EXPECT_EQ(readAll(), json::object());
        EXPECT_NE(err.str().find("not a valid settings file"), std::string::npos) << err.str();
    }

    // A file that cannot be read is not called damaged: the real reason is given.
    std::filesystem::remove(dir.path() / "qn.Korvel.companion/defaults.json");
    std::filesystem::create_directory(dir.path() / "qn.Korvel.companion/defaults.json");
    EXPECT_EQ(run({"read"}), 0);
    EXPECT_EQ(err.str().find("not a valid settings file"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("not a regular file"), std::string::npos) << err.str();
    std::filesystem::remove(dir.path() / "qn.Korvel.companion/defaults.json");
    dir.write("qn.Korvel.companion/defaults.json", "not json");

    ::setenv("XDG_CONFIG_HOME", (dir.str() + "/qn.Korvel.companion/defaults.json").c_str(), 1);
    EXPECT_EQ(run({"write", settings::kTrafficEnabled, "true"}), 1);
    EXPECT_NE(err.str().find("could not save"), std::string::npos) << err.str();
}

} // namespace
} // namespace korvel
