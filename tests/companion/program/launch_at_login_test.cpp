#include "companion/engine/settings_keys.h"
#include "companion/program/launch_at_login.h"
#include "platform/defaults/user_defaults.h"
#include "tests/support/virtual_dispatch.h"
#include "platform/log/report_line.h"
#include "tests/support/temp_dir.h"

#include <glib.h>
#include <gtest/gtest.h>

namespace korvel {
namespace {

using platform::desktop::AutostartEntry;

// The command a session runs for the entry: Exec read as a key file value,
// field codes expanded (%% is a literal %), then split the way a shell would.
std::vector<std::string> startedCommand(const std::filesystem::path& entry) {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> command;
    gchar* exec = g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr)
                      ? g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr)
                      : nullptr;
    std::string line = exec != nullptr ? exec : "";
    g_free(exec);
    g_key_file_free(file);
    for (size_t at = line.find("%%"); at != std::string::npos; at = line.find("%%", at + 1)) {
        line.erase(at, 1);
    }
    gchar** argv = nullptr;
    if (g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) {
        command.assign(argv, argv + g_strv_length(argv));
        g_strfreev(argv);
    }
    return command;
}

class LaunchAtLoginTest : public ::testing::Test {
protected:
    ~LaunchAtLoginTest() override { platform::log::exchangeReportLineSink(previousSink_); }

    AutostartItem item(std::string executable = kProgram) const {
        return {AutostartEntry(entryPath.string()), std::move(executable)};
    }
    auto stored() const { return defaults.object(settings::kLaunchAtLogin); }

    // Quoting and field codes must survive the trip through Exec.
    static constexpr const char* kProgram = "/opt/My Apps/100% \"korvel\"/korvel-companion";

    testing::TempDir config;
    const std::filesystem::path entryPath = config.path() / "autostart/qn.Korvel.companion.desktop";
    testing::VirtualDispatch dispatch;
    platform::UserDefaults defaults{"test.domain", "", dispatch};
    std::vector<std::string> logLines;

private:
    platform::log::ReportLineSink previousSink_ = platform::log::exchangeReportLineSink(
        [this](const std::string& line) { logLines.push_back(line); });
};

TEST_F(LaunchAtLoginTest, RegistersUnlessRefusedOrSwitchedOffByTheUser) {
    const std::string head = "[Desktop Entry]\nType=Application\nName=Korvel Companion\n";
    struct Case {
        const char* what;
        nlohmann::json setting; // null: none stored
        std::string entry;      // empty: no file
        bool enabled;           // registered, and what both calls store
    };
    const Case cases[] = {
        {"absent setting, no entry", nullptr, "", true},
        {"a value of another type is no refusal", "false", "", true},
        {"a stored false", false, "", false},
        {"switched off", nullptr, head + "Exec=/x\nX-GNOME-Autostart-enabled=false\n", false},
        {"hidden", true, head + "Exec=/x\nHidden=true\n", false},
        {"an unparsable Boolean is no switch", nullptr, head + "Exec=/x\nHidden=maybe\n", true},
        {"an unreadable entry is ours to replace", nullptr, "not a desktop entry", true},
        {"an older entry of ours", nullptr,
         head + "Exec=/old/korvel-companion\nX-GNOME-Autostart-Delay=10\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(entryPath);
        if (!c.entry.empty()) {
            config.write("autostart/qn.Korvel.companion.desktop", c.entry);
        }
        defaults.set(settings::kLaunchAtLogin, c.setting);

        registerLaunchAtLoginIfNeeded(defaults, item());
        EXPECT_EQ(stored(), nlohmann::json(c.enabled));
        EXPECT_TRUE(logLines.empty());
        if (c.enabled) {
            EXPECT_EQ(startedCommand(entryPath), std::vector<std::string>{kProgram});
            EXPECT_NE(config.read(entryPath).find(head), std::string::npos);
        } else if (!c.entry.empty()) {
            EXPECT_EQ(config.read(entryPath), c.entry) << "the user's switch was overridden";
        } else {
            EXPECT_FALSE(std::filesystem::exists(entryPath));
        }
        // What the settings window stores when it looks at the entry.
        defaults.setBool(settings::kLaunchAtLogin, !c.enabled);
        refreshLaunchAtLoginState(defaults, item());
        EXPECT_EQ(stored(), nlohmann::json(c.enabled));
    }

    // Keys others added stay, and an unchanged entry is not written again.
    EXPECT_NE(config.read(entryPath).find("X-GNOME-Autostart-Delay=10\n"), std::string::npos);
    const auto stamp = std::filesystem::last_write_time(entryPath) - std::chrono::hours(1);
    std::filesystem::last_write_time(entryPath, stamp);
    registerLaunchAtLoginIfNeeded(defaults, item());
    EXPECT_EQ(std::filesystem::last_write_time(entryPath), stamp);
}

TEST_F(LaunchAtLoginTest, AFailureLogsOneLineAndLeavesTheSettingAlone) {
    // The config home is a file: no autostart directory can be made in it.
    const auto blocker = config.write("blocker", "x");
    const AutostartItem blocked{AutostartEntry((blocker / "autostart/x.desktop").string()),
                                kProgram};

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
    EXPECT_FALSE(std::filesystem::exists(entryPath));
}

} // namespace
} // namespace korvel
