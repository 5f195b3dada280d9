#include "companion/app/launch_at_login.h"
#include "companion/engine/settings_keys.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/virtual_dispatch.h"
#include "platform/log/ns_log.h"
#include "tests/support/temp_dir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace korvel {
namespace {

using platform::desktop::AutostartEntry;
using platform::desktop::AutostartState;

// The command a session runs for the entry: Exec read as a key file value,
// field codes expanded (%% is a literal %), then split the way a shell would.
std::vector<std::string> startedCommand(const std::filesystem::path& entry) {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> command;
    if (g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)) {
        gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
        std::string line = exec != nullptr ? exec : "";
        g_free(exec);
        for (size_t at = line.find("%%"); at != std::string::npos; at = line.find("%%", at + 1)) {
            line.erase(at, 1);
        }
        gchar** argv = nullptr;
        if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) {
            for (gchar** arg = argv; *arg != nullptr; ++arg) {
                command.emplace_back(*arg);
            }
            g_strfreev(argv);
        }
    }
    g_key_file_free(file);
    return command;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class LaunchAtLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousSink_ = platform::log::exchangeNSLogSink(
            [this](const std::string& line) { logLines.push_back(line); });
    }
    void TearDown() override { platform::log::exchangeNSLogSink(previousSink_); }

    LoginItem item(std::string executable = "/opt/korvel/bin/korvel-companion") const {
        LoginItem result;
        result.entry = AutostartEntry(entryPath().string());
        result.executable = std::move(executable);
        return result;
    }
    std::filesystem::path entryPath() const {
        return config.path() / "autostart/qn.Korvel.companion.desktop";
    }
    std::optional<nlohmann::json> stored() const {
        return defaults.object(settings::kLaunchAtLogin);
    }

    testing::TempDir config;
    platform::VirtualDispatch dispatch;
    platform::UserDefaults defaults{"test.domain", "", dispatch};
    std::vector<std::string> logLines;

private:
    platform::log::NSLogSink previousSink_;
};

TEST_F(LaunchAtLoginTest, RegistersWhileTheSettingIsNotAStoredFalse) {
    // Absent: the entry is created, starts this program, and true is stored.
    registerLaunchAtLoginIfNeeded(defaults, item());
    ASSERT_TRUE(std::filesystem::exists(entryPath()));
    EXPECT_EQ(stored(), nlohmann::json(true));
    EXPECT_EQ(item().entry.state(), AutostartState::enabled);
    EXPECT_EQ(startedCommand(entryPath()),
              std::vector<std::string>{"/opt/korvel/bin/korvel-companion"});
    const std::string content = readFile(entryPath());
    EXPECT_NE(content.find("Name=Korvel Companion\n"), std::string::npos);
    EXPECT_NE(content.find("Type=Application\n"), std::string::npos);
    EXPECT_TRUE(logLines.empty());

    // A value of another type is no refusal: registration happens again, and
    // follows the program to where it now lies.
    defaults.set(settings::kLaunchAtLogin, "false");
    registerLaunchAtLoginIfNeeded(defaults, item("/usr/bin/korvel-companion"));
    EXPECT_EQ(stored(), nlohmann::json(true));
    EXPECT_NE(readFile(entryPath()).find("Exec=/usr/bin/korvel-companion\n"), std::string::npos);
}

TEST_F(LaunchAtLoginTest, AStoredFalseRegistersNothing) {
    defaults.setBool(settings::kLaunchAtLogin, false);
    registerLaunchAtLoginIfNeeded(defaults, item());
    EXPECT_FALSE(std::filesystem::exists(entryPath()));
    EXPECT_EQ(stored(), nlohmann::json(false));
    EXPECT_TRUE(logLines.empty());
}

TEST_F(LaunchAtLoginTest, AnEntryTheUserSwitchedOffStaysOffAndReadsFalse) {
    const std::string disabled = "[Desktop Entry]\nType=Application\nName=Korvel Companion\n"
                                 "Exec=/opt/korvel/bin/korvel-companion\n"
                                 "X-GNOME-Autostart-enabled=false\n";
    const std::string hidden = "[Desktop Entry]\nType=Application\nName=Korvel Companion\n"
                               "Exec=/opt/korvel/bin/korvel-companion\nHidden=true\n";
    for (const auto& content : {disabled, hidden}) {
        config.write("autostart/qn.Korvel.companion.desktop", content);
        defaults.remove(settings::kLaunchAtLogin);
        registerLaunchAtLoginIfNeeded(defaults, item());
        EXPECT_EQ(readFile(entryPath()), content) << "the user's switch was overridden";
        EXPECT_EQ(stored(), nlohmann::json(false));
        EXPECT_TRUE(logLines.empty());

        // The stored true of an earlier run follows the entry when the
        // settings window looks.
        defaults.setBool(settings::kLaunchAtLogin, true);
        refreshLaunchAtLoginState(defaults, item());
        EXPECT_EQ(stored(), nlohmann::json(false));
    }
}

TEST_F(LaunchAtLoginTest, RefreshStoresWhetherTheEntryIsEnabled) {
    refreshLaunchAtLoginState(defaults, item());
    EXPECT_EQ(stored(), nlohmann::json(false)) << "absent";

    config.write("autostart/qn.Korvel.companion.desktop",
                 "[Desktop Entry]\nType=Application\nExec=/x\nX-GNOME-Autostart-enabled=true\n");
    refreshLaunchAtLoginState(defaults, item());
    EXPECT_EQ(stored(), nlohmann::json(true));

    config.write("autostart/qn.Korvel.companion.desktop", "not a desktop entry at all");
    refreshLaunchAtLoginState(defaults, item());
    EXPECT_EQ(stored(), nlohmann::json(false)) << "unreadable";

    // Another desktop's switch counts too, and an unparsable Boolean is no switch.
    config.write("autostart/qn.Korvel.companion.desktop",
                 "[Desktop Entry]\nType=Application\nExec=/x\nX-MATE-Autostart-enabled=false\n");
    EXPECT_EQ(item().entry.state(), AutostartState::disabled);
    config.write("autostart/qn.Korvel.companion.desktop",
                 "[Desktop Entry]\nType=Application\nExec=/x\nHidden=maybe\n");
    EXPECT_EQ(item().entry.state(), AutostartState::enabled);
}

TEST_F(LaunchAtLoginTest, RegistrationKeepsWhatOthersAddedAndRewritesNothingUnchanged) {
    config.write("autostart/qn.Korvel.companion.desktop",
                 "[Desktop Entry]\nType=Application\nName=Old\nExec=/old/korvel-companion\n"
                 "X-GNOME-Autostart-Delay=10\n");
    registerLaunchAtLoginIfNeeded(defaults, item());
    const std::string first = readFile(entryPath());
    EXPECT_NE(first.find("X-GNOME-Autostart-Delay=10"), std::string::npos);
    EXPECT_NE(first.find("Exec=/opt/korvel/bin/korvel-companion\n"), std::string::npos);
    EXPECT_EQ(first.find("/old/"), std::string::npos);

    const auto stamp = std::filesystem::last_write_time(entryPath());
    std::filesystem::last_write_time(entryPath(), stamp - std::chrono::hours(1));
    registerLaunchAtLoginIfNeeded(defaults, item());
    EXPECT_EQ(std::filesystem::last_write_time(entryPath()), stamp - std::chrono::hours(1));
}

TEST_F(LaunchAtLoginTest, AProgramPathWithSpecialCharactersStartsThatProgram) {
    const std::string program = "/opt/My Apps/100% \"korvel\"/korvel-companion";
    registerLaunchAtLoginIfNeeded(defaults, item(program));
    EXPECT_EQ(startedCommand(entryPath()), std::vector<std::string>{program});
}

TEST_F(LaunchAtLoginTest, AFailureLogsOneLineAndLeavesTheSettingAlone) {
    // The config home is a file: no autostart directory can be made in it.
    const auto blocker = config.write("blocker", "x");
    LoginItem blocked;
    blocked.entry = AutostartEntry((blocker / "autostart/qn.Korvel.companion.desktop").string());
    blocked.executable = "/opt/korvel/bin/korvel-companion";

    registerLaunchAtLoginIfNeeded(defaults, blocked);
    ASSERT_EQ(logLines.size(), 1u);
    EXPECT_EQ(logLines[0].rfind(kLaunchAtLoginFailurePrefix, 0), 0u) << logLines[0];
    EXPECT_GT(logLines[0].size(), std::string(kLaunchAtLoginFailurePrefix).size());
    EXPECT_FALSE(stored().has_value());

    defaults.setBool(settings::kLaunchAtLogin, true);
    registerLaunchAtLoginIfNeeded(defaults, blocked);
    EXPECT_EQ(logLines.size(), 2u);
    EXPECT_EQ(stored(), nlohmann::json(true));

    // Not knowing our own program is a failure too, not an entry without Exec.
    defaults.remove(settings::kLaunchAtLogin);
    registerLaunchAtLoginIfNeeded(defaults, item(""));
    EXPECT_EQ(logLines.size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(entryPath()));
}

} // namespace
} // namespace korvel
