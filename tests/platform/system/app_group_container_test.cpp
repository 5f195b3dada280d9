#include "platform/system/app_group_container.h"
#include "platform/system/home_directory.h"
#include "tests/support/scoped_env.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(AppGroupContainerTest, IsANamedDirectoryInTheAbsoluteRuntimeDirectory) {
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/1000/");
    EXPECT_EQ(appGroupContainer("qn.Korvel.shared"), "/run/user/1000/qn.Korvel.shared");
    for (const char* name : {"../escape", "..", ""}) {
        EXPECT_FALSE(appGroupContainer(name)) << name;
    }
    for (const std::optional<std::string>& dir :
         {std::optional<std::string>("run/user"), std::optional<std::string>(""),
          std::optional<std::string>()}) {
        testing::ScopedEnv unusable("XDG_RUNTIME_DIR", dir);
        EXPECT_FALSE(appGroupContainer("qn.Korvel.shared")) << dir.value_or("unset");
    }
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
