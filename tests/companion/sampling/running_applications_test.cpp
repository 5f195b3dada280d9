#include "companion/sampling/running_applications.h"
#include "platform/desktop/application_registry.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(RunningApplications, NamesAndIconsByPID) {
    testing::TempDir root;
    for (const auto* name : {"browser", "plain"}) {
        std::filesystem::permissions(root.write(std::string("bin/") + name, "#!/bin/true\n"),
                                     std::filesystem::perms::owner_all);
    }
    root.write("apps/browser.desktop", "[Desktop Entry]\nType=Application\nName=Browser\n"
                                       "Name[fr]=Navigateur\nIcon=web-browser\nExec=browser %u\n");
    root.write("apps/plain.desktop", "[Desktop Entry]\nType=Application\nName=Plain\nExec=plain\n");
    platform::desktop::XdgEnvironment env;
    env.applicationDirs = {root.str() + "/apps"};
    env.locales = {"fr_FR.UTF-8"};
    env.searchPath = root.str() + "/bin";
    platform::desktop::ApplicationRegistry registry(env);
    registry.rebuild();

    const std::string plain = root.str() + "/bin/plain";
    const auto running = runningApplications(
        {
            {.pid = 100, .name = "browser", .execPath = root.str() + "/bin/browser"},
            {.pid = 101, .name = "kworker", .execPath = std::nullopt},
            {.pid = 102, .name = "plain", .execPath = plain},
            {.pid = 100, .name = "plain", .execPath = plain}, // a repeated pid keeps its first row
            {.pid = 103, .name = "other", .execPath = "/usr/bin/not-an-application"},
        },
        registry);
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running.at(100).localizedName, "Navigateur");
    EXPECT_EQ(running.at(100).icon, "web-browser");
    EXPECT_EQ(running.at(102).localizedName, "Plain");
    EXPECT_FALSE(running.at(102).icon.has_value());
}

} // namespace
} // namespace korvel
