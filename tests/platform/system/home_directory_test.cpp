#include "platform/system/home_directory.h"
#include "tests/support/scoped_env.h"

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

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
