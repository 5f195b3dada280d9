#include "platform/program/home_directory.h"
#include "platform/service/service_directory.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <unistd.h>

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

// A cron job or an ssh shell without the variable finds the session's own
// directory, so that a second engine meets the first one's lock there.
TEST(RuntimeDirectoryTest, IsTheSessionsOwnEvenWithoutTheVariable) {
    korvel::testing::TempDir runUser;
    const auto mine = runUser.path() / std::to_string(::getuid());
    testing::ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/elsewhere");
    EXPECT_EQ(service::runtimeDirectory(runUser.str()), "/run/elsewhere");
    testing::ScopedEnv unset("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_EQ(service::runtimeDirectory(runUser.str()), std::nullopt) << "no session directory";
    std::filesystem::create_directory(mine);
    std::filesystem::permissions(mine, std::filesystem::perms::owner_all);
    EXPECT_EQ(service::runtimeDirectory(runUser.str()), mine.string());
    std::filesystem::permissions(mine, std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(service::runtimeDirectory(runUser.str()), std::nullopt) << "not private";
}

} // namespace
} // namespace korvel::platform
