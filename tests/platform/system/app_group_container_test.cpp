#include "platform/system/app_group_container.h"
#include "platform/system/home_directory.h"
#include "tests/support/scoped_env.h"

#include "tests/support/temp_dir.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

namespace fs = std::filesystem;

TEST(AppGroupContainerTest, IsANamedDirectoryInARuntimeDirectoryOfOurOwn) {
    testing::TempDir dir;
    const fs::path run = dir.path() / "run";
    fs::create_directory(run);
    fs::permissions(run, fs::perms::owner_all);
    fs::create_directory_symlink(run, dir.path() / "link");
    testing::ScopedEnv runtime{"XDG_RUNTIME_DIR", run.string() + "/"};

    EXPECT_EQ(appGroupContainer("qn.Korvel.shared"), (run / "qn.Korvel.shared").string());
    EXPECT_FALSE(appGroupContainer("../escape"));
    EXPECT_FALSE(appGroupContainer(".."));
    EXPECT_FALSE(appGroupContainer(""));

    // Unusable runtime directories: relative, empty, unset, missing, a link,
    // or one others may write to.
    for (const char* value : {"run/user", ""}) {
        ::setenv("XDG_RUNTIME_DIR", value, 1);
        EXPECT_FALSE(appGroupContainer("qn.Korvel.shared")) << value;
    }
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));
    for (const fs::path& bad : {dir.path() / "missing", dir.path() / "link"}) {
        ::setenv("XDG_RUNTIME_DIR", bad.c_str(), 1);
        EXPECT_FALSE(appGroupContainer("qn.Korvel.shared")) << bad;
    }
    fs::permissions(run, fs::perms::all);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared")) << "shared with everyone";
}

TEST(HomeDirectoryTest, PrefersAnAbsoluteHomeAndFallsBackToTheAccount) {
    testing::ScopedEnv home("HOME", "/srv/korvel-home");
    EXPECT_EQ(homeDirectory(), "/srv/korvel-home");
    testing::ScopedEnv relative("HOME", "relative/home");
    const auto fromAccount = homeDirectory();
    EXPECT_EQ(fromAccount.value_or("/").front(), '/');
    testing::ScopedEnv unset("HOME", std::nullopt);
    EXPECT_EQ(homeDirectory(), fromAccount);
}

} // namespace
} // namespace korvel::platform
