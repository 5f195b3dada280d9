#include "platform/defaults/defaults_path.h"
#include "platform/defaults/user_defaults.h"
#include "tests/support/virtual_dispatch.h"

#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kDomain = "qn.Korvel.companion";

class UserDefaultsTest : public ::testing::Test {
protected:
    std::string path() const { return defaults::defaultsFilePath(kDomain); }
    json onDisk() const { return json::parse(dir.read(path())); }

    testing::TempDir dir;
    testing::ScopedEnv configHome{"XDG_CONFIG_HOME", dir.str()};
    testing::VirtualDispatch dispatch;
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
    EXPECT_TRUE(onDisk()["ratio"].is_number_float());

    // A fresh store, as at the next launch; an EINTR left by some earlier call
    // is no reason to read the file again.
    errno = EINTR;
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
    EXPECT_FALSE(onDisk().contains("autoRefreshInterval"));

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
        onDisk(),
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
    const auto intervalToken =
        store.addObserver("autoRefreshInterval", [&](const std::string& key) {
            interval.push_back(key + (dispatch.isMainThread() ? "" : "!"));
        });
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
    store.removeObserver(intervalToken);
    dispatch.advance(1.0);
    EXPECT_EQ(any, (std::vector<std::string>{"autoRefreshInterval", "menuBarMetric",
                                             "autoRefreshInterval"}))
        << "only the key that changed";
    EXPECT_EQ(interval.size(), 1u) << "removed observer";
    dispatch.advance(5.0);
    EXPECT_EQ(any.size(), 3u) << "no change, no call";
}

std::vector<std::string> movedAside(const testing::TempDir& dir) {
    std::vector<std::string> contents;
    for (const auto& entry : fs::directory_iterator(dir.path() / "qn.Korvel.companion")) {
        if (entry.path().filename().string().starts_with("defaults.json.corrupt-")) {
            contents.push_back(dir.read(entry.path()));
        }
    }
    std::sort(contents.begin(), contents.end());
    return contents;
}

TEST_F(UserDefaultsTest, EachDamagedFileIsKeptUntilAWriteThenMovedAsideToANameOfItsOwn) {
    const std::string damaged = "{\"autoRefreshInterval\": 10,,,";
    dir.write("qn.Korvel.companion/defaults.json", damaged);
    UserDefaults store(kDomain, path(), dispatch);
    EXPECT_TRUE(store.fileIsDamaged());
    EXPECT_EQ(store.integerFor("autoRefreshInterval", 5), 5);
    EXPECT_EQ(dir.read(path()), damaged) << "reading never rewrites";

    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(store.set("helperAvailable", true));
    EXPECT_TRUE(store.set("helperAvailable", false));
    EXPECT_EQ(onDisk(), (json{{"helperAvailable", false}}));
    EXPECT_FALSE(store.fileIsDamaged());

    // A second damaged file in a row (the top level is not an object), then
    // one nested a level deeper than any setting may be.
    const std::string deep = "{\"x\": " + std::string(64, '[') + std::string(64, ']') + "}";
    for (const std::string& next : {std::string("[1, 2]"), deep}) {
        std::ofstream(path(), std::ios::trunc) << next;
        EXPECT_TRUE(store.fileIsDamaged());
        EXPECT_EQ(store.dictionary(), json::object());
        EXPECT_TRUE(store.set("helperAvailable", true));
        EXPECT_TRUE(store.set("helperAvailable", false));
    }
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 3) << "said each time: " << said;
    EXPECT_NE(said.find(path() + ".corrupt-"), std::string::npos) << said;
    const auto aside = movedAside(dir);
    ASSERT_EQ(aside.size(), 3u) << "every one is kept";
    EXPECT_EQ(aside[0], "[1, 2]");
    EXPECT_EQ(aside[1], damaged);
    EXPECT_EQ(aside[2], deep);
}

TEST_F(UserDefaultsTest, AFileThatCannotBeReadIsNeverWrittenOverAndSaysWhyOnceUntilRepaired) {
    fs::create_directories(fs::path(path()).parent_path());
    for (const std::string reason : {"not a regular file", "larger than"}) {
        if (reason == "larger than") {
            fs::resize_file(dir.write("qn.Korvel.companion/defaults.json", "{"), 17 << 20);
        } else {
            fs::create_directory(path());
        }
        const auto before = defaults::stampFile(path());
        UserDefaults store(kDomain, path(), dispatch);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(store.set("helperAvailable", true)) << reason;
        EXPECT_FALSE(store.set("helperAvailable", false)) << reason;
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(reason), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << "said once: " << said;
        EXPECT_NE(store.lastError().find(reason), std::string::npos) << store.lastError();
        EXPECT_NE(store.readError().find(reason), std::string::npos) << store.readError();
        EXPECT_FALSE(store.fileIsDamaged()) << reason;
        EXPECT_EQ(defaults::stampFile(path()), before) << reason;
        EXPECT_TRUE(movedAside(dir).empty()) << reason;
        fs::remove(path());
        EXPECT_TRUE(store.set("helperAvailable", true)) << "repaired: " << store.lastError();
    }
}

TEST_F(UserDefaultsTest, TheMainLoopsWritesNeverWaitForAnotherProcesssLock) {
    UserDefaults store(kDomain, path(), dispatch);
    EXPECT_TRUE(store.set("helperAvailable", false));
    EXPECT_EQ(dispatch.activeTimerCount(), 0u) << "saved: nothing to retry";
    // A lock of its own open file counts as another process's; an EINTR left
    // over from earlier calls is no reason to lock again.
    errno = EINTR;
    auto held = std::make_unique<defaults::DirectoryLock>(fs::path(path()).parent_path());
    auto writes = std::async(std::launch::async, [&] {
        EXPECT_TRUE(store.set("helperAvailable", false)) << "nothing changes: no lock needed";
        store.setWithoutWaiting("helperAvailable", true);
    });
    const bool returned = writes.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!returned) {
        held.reset();
    }
    ASSERT_TRUE(returned) << "waited for the lock";
    EXPECT_TRUE(store.boolFor("helperAvailable", false)) << "kept meanwhile";
    dispatch.advance(1.0);
    EXPECT_EQ(onDisk()["helperAvailable"], false) << "still locked";

    held.reset();
    dispatch.advance(1.0);
    EXPECT_EQ(onDisk()["helperAvailable"], true) << "saved once free";
    EXPECT_EQ(dispatch.activeTimerCount(), 0u);
}

TEST_F(UserDefaultsTest, LeftoversOfInterruptedSavesGoAtStartAndFailedSavesKeepTheValue) {
    const auto leftover = dir.write("qn.Korvel.companion/defaults.json.q8Zr2K", "{");
    const auto other = dir.write("qn.Korvel.companion/defaults.json.bak", "{");
    UserDefaults started(kDomain, path(), dispatch);
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(other)) << "not a name our saves use";

    dir.write("not-a-directory", "x");
    // sysfs refuses new directories even to root.
    for (const auto& [blocked, why] :
         {std::pair{dir.str() + "/not-a-directory/x/defaults.json", "not-a-directory"},
          {"/sys/korvel-settings/defaults.json", "cannot create /sys/korvel-settings"}}) {
        UserDefaults store(kDomain, blocked, dispatch);
        EXPECT_FALSE(store.set("autoRefreshInterval", 10));
        EXPECT_NE(store.lastError().find(why), std::string::npos) << store.lastError();
        EXPECT_EQ(store.integerFor("autoRefreshInterval", 5), 10);
    }

    UserDefaults memoryOnly(kDomain, "", dispatch);
    EXPECT_FALSE(memoryOnly.set("trafficEnabled", false));
    EXPECT_FALSE(memoryOnly.lastError().empty());
    EXPECT_FALSE(memoryOnly.boolFor("trafficEnabled", true)) << "kept in memory";
}

} // namespace
} // namespace korvel::platform
