#include "platform/system/app_group_container.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

TEST(AppGroupContainerTest, IsANamedDirectoryInTheAbsoluteRuntimeDirectory) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string restore = saved ? saved : "";

    ::setenv("XDG_RUNTIME_DIR", "/run/user/1000/", 1);
    EXPECT_EQ(appGroupContainer("qn.Korvel.shared"), "/run/user/1000/qn.Korvel.shared");
    EXPECT_FALSE(appGroupContainer("../escape"));
    EXPECT_FALSE(appGroupContainer(".."));
    EXPECT_FALSE(appGroupContainer(""));
    ::setenv("XDG_RUNTIME_DIR", "run/user", 1);
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));

    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
    }
}

} // namespace
} // namespace korvel::platform
