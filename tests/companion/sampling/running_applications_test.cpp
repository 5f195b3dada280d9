#include "companion/sampling/running_applications.h"
#include "platform/desktop/application_registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace korvel {
namespace {

namespace fs = std::filesystem;

TEST(RunningApplications, NamesAndIconsByPID) {
    const fs::path root = fs::temp_directory_path() / "korvel-running-applications";
    fs::remove_all(root);
    fs::create_directories(root / "bin");
    fs::create_directories(root / "share/applications");
    for (const auto* name : {"browser", "plain"}) {
        std::ofstream(root / "bin" / name) << "#!/bin/true\n";
        fs::permissions(root / "bin" / name, fs::perms::owner_all);
    }
    std::ofstream(root / "share/applications/browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Browser\nName[fr]=Navigateur\n"
           "Icon=web-browser\nExec=browser %u\n";
    std::ofstream(root / "share/applications/plain.desktop")
        << "[Desktop Entry]\nType=Application\nName=Plain\nExec=plain\n";
    platform::desktop::XdgEnvironment env;
    env.applicationDirs = {(root / "share/applications").string()};
    env.locales = {"fr_FR.UTF-8"};
    env.searchPath = (root / "bin").string();
    platform::desktop::ApplicationRegistry registry(env);
    registry.rebuild();

    const auto browser = (root / "bin/browser").string();
    const std::vector<HelperProcessData> processes = {
        {.pid = 100, .name = "browser", .execPath = browser},
        {.pid = 101, .name = "kworker", .execPath = std::nullopt},
        {.pid = 102, .name = "plain", .execPath = (root / "bin/plain").string()},
        {.pid = 100, .name = "plain", .execPath = (root / "bin/plain").string()},
        {.pid = 103, .name = "other", .execPath = "/usr/bin/not-an-application"},
    };
    const auto running = runningApplications(processes, registry);
    ASSERT_EQ(running.size(), 2u);
    // A repeated pid keeps its first row's application.
    EXPECT_EQ(running.at(100).localizedName, "Navigateur");
    EXPECT_EQ(running.at(100).icon, "web-browser");
    EXPECT_EQ(running.at(102).localizedName, "Plain");
    EXPECT_FALSE(running.at(102).icon.has_value());
    fs::remove_all(root);
}

} // namespace
} // namespace korvel
