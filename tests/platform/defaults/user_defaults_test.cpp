#include "platform/defaults/defaults_path.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/virtual_dispatch.h"

#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kDomain = "qn.Korvel.companion";

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class UserDefaultsTest : public ::testing::Test {
protected:
    std::string path() const { return defaults::defaultsFilePath(kDomain); }

    testing::TempDir dir;
    testing::ScopedEnv configHome{"XDG_CONFIG_HOME", dir.str()};
    VirtualDispatch dispatch;
};

TEST_F(UserDefaultsTest, FileLivesUnderTheConfigHome) {
    EXPECT_EQ(path(), dir.str() + "/qn.Korvel.companion/defaults.json");
    for (const char* unsafe : {"", "..", "a/../../etc"}) {
        EXPECT_EQ(defaults::defaultsFilePath(unsafe), "") << unsafe;
    }

    // A relative value is not a valid config home and is ignored.
    testing::ScopedEnv relative{"XDG_CONFIG_HOME", std::string("relative/dir")};
    testing::ScopedEnv home{"HOME", dir.str()};
    EXPECT_EQ(defaults::defaultsFilePath(kDomain),
              dir.str() + "/.config/qn.Korvel.companion/defaults.json");
}

TEST_F(UserDefaultsTest, ValuesKeepTheirTypeOnDiskAndInTheGetters) {
    {
        UserDefaults store(kDomain, path(), dispatch);
        EXPECT_TRUE(store.set("autoRefreshInterval", 10));
        EXPECT_TRUE(store.set("showSystemProcesses", true));
        EXPECT_TRUE(store.set("ratio", 2.0));
        EXPECT_TRUE(store.set("menuBarMetric", "network"));
        EXPECT_TRUE(store.set("huge", json(18446744073709551615ull)));
    }
    EXPECT_TRUE(json::parse(readFile(path()))["ratio"].is_number_float());

    // A fresh store, as at the next launch.
    UserDefaults store(kDomain, path(), dispatch);
    EXPECT_EQ(store.integerFor("autoRefreshInterval", 5), 10);
    EXPECT_EQ(store.integerFor("showSystemProcesses", 7), 7) << "a Boolean is not an integer";
    EXPECT_EQ(store.integerFor("ratio", 7), 7) << "2.0 is a double";
    EXPECT_DOUBLE_EQ(store.doubleFor("ratio", 0), 2.0);
    EXPECT_EQ(store.integerFor("huge", -1), -1) << "does not fit a signed integer";
    EXPECT_EQ(store.stringFor("autoRefreshInterval", "none"), "none");

    EXPECT_TRUE(store.remove("autoRefreshInterval"));
    EXPECT_TRUE(store.set("menuBarMetric", nullptr));
    EXPECT_EQ(store.object("menuBarMetric"), std::nullopt);
    EXPECT_FALSE(json::parse(readFile(path())).contains("autoRefreshInterval"));

    // Saved privately, with no temporary files left behind.
    EXPECT_EQ(fs::status(path()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path()).parent_path()),
                            fs::directory_iterator()),
              1);
}

TEST_F(UserDefaultsTest, ChangesByAnotherProcessAreSeenAndMerged) {
    UserDefaults companion(kDomain, path(), dispatch);
    EXPECT_TRUE(companion.set("helperAvailable", false));

    // The command-line tool is another process with its own store.
    UserDefaults tool(kDomain, path(), dispatch);
    EXPECT_TRUE(tool.set("autoRefreshInterval", 10));
    EXPECT_EQ(companion.integerFor("autoRefreshInterval", 5), 10);

    // The companion writes on after the tool did: neither loses the other's key.
    EXPECT_TRUE(tool.set("trafficEnabled", false));
    EXPECT_TRUE(companion.set("helperAvailable", true));
    EXPECT_EQ(
        json::parse(readFile(path())),
        (json{{"autoRefreshInterval", 10}, {"trafficEnabled", false}, {"helperAvailable", true}}));

    // Someone replaces the file by hand.
    std::ofstream(path(), std::ios::trunc) << R"({"autoRefreshInterval": 30})";
    EXPECT_EQ(companion.integerFor("autoRefreshInterval", 5), 30);
    EXPECT_EQ(companion.boolFor("helperAvailable", false), false);
}

TEST_F(UserDefaultsTest, ObserversHearOfChangesOnTheMainQueue) {
    UserDefaults store(kDomain, path(), dispatch);
    std::vector<std::string> interval;
    std::vector<std::string> any;
    store.addObserver("autoRefreshInterval", [&](const std::string& key) {
        interval.push_back(key + (dispatch.isMainThread() ? "" : "!"));
    });
    const auto anyToken =
        store.addObserver("", [&](const std::string& key) { any.push_back(key); });

    EXPECT_TRUE(store.set("autoRefreshInterval", 10));
    EXPECT_TRUE(store.set("menuBarMetric", "cpu"));
    EXPECT_TRUE(interval.empty()) << "never inside set()";
    dispatch.runPending();
    EXPECT_EQ(interval, std::vector<std::string>{"autoRefreshInterval"});
    EXPECT_EQ(any, (std::vector<std::string>{"autoRefreshInterval", "menuBarMetric"}));

    // Storing the value already there changes nothing and rewrites nothing.
    const auto before = defaults::stampFile(path());
    EXPECT_TRUE(store.set("autoRefreshInterval", 10));
    dispatch.runPending();
    EXPECT_EQ(interval.size(), 1u);
    EXPECT_EQ(defaults::stampFile(path()), before);

    // Another process writes; the watcher notices without anyone reading.
    store.startWatching(1.0);
    UserDefaults tool(kDomain, path(), dispatch);
    EXPECT_TRUE(tool.set("autoRefreshInterval", 2));
    store.removeObserver(anyToken);
    dispatch.advance(1.0);
    EXPECT_EQ(interval, (std::vector<std::string>{"autoRefreshInterval", "autoRefreshInterval"}));
    EXPECT_EQ(any.size(), 2u) << "removed observer";
    dispatch.advance(5.0);
    EXPECT_EQ(interval.size(), 2u) << "no change, no call";

    store.stopWatching();
    EXPECT_EQ(dispatch.activeTimerCount(), 0u);
}

TEST_F(UserDefaultsTest, DamagedFileIsKeptUntilAWriteThenMovedAside) {
    const std::string damaged = "{\"autoRefreshInterval\": 10,,,";
    dir.write("qn.Korvel.companion/defaults.json", damaged);
    UserDefaults store(kDomain, path(), dispatch);
    EXPECT_TRUE(store.fileIsDamaged());
    EXPECT_EQ(store.integerFor("autoRefreshInterval", 5), 5);
    EXPECT_EQ(readFile(path()), damaged) << "reading never rewrites";

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(store.set("helperAvailable", true));
    EXPECT_TRUE(store.set("helperAvailable", false));
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(path() + ".corrupt"), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "said once: " << said;

    EXPECT_EQ(readFile(path() + ".corrupt"), damaged);
    EXPECT_EQ(json::parse(readFile(path())), (json{{"helperAvailable", false}}));
    EXPECT_FALSE(store.fileIsDamaged());

    // A file whose top level is not an object is damaged too.
    std::ofstream(path(), std::ios::trunc) << "[1, 2]";
    EXPECT_TRUE(store.fileIsDamaged());
    EXPECT_EQ(store.object("helperAvailable"), std::nullopt);
}

TEST_F(UserDefaultsTest, FailedSaveKeepsTheValueAndSaysWhy) {
    dir.write("not-a-directory", "x");
    const std::string blocked = dir.str() + "/not-a-directory/qn.Korvel.companion/defaults.json";
    UserDefaults store(kDomain, blocked, dispatch);
    EXPECT_FALSE(store.set("autoRefreshInterval", 10));
    EXPECT_NE(store.lastError().find("not-a-directory"), std::string::npos) << store.lastError();
    EXPECT_EQ(store.integerFor("autoRefreshInterval", 5), 10);

    UserDefaults memoryOnly(kDomain, "", dispatch);
    EXPECT_FALSE(memoryOnly.set("trafficEnabled", false));
    EXPECT_FALSE(memoryOnly.lastError().empty());
    EXPECT_FALSE(memoryOnly.boolFor("trafficEnabled", true)) << "kept in memory";
}

} // namespace
} // namespace korvel::platform
