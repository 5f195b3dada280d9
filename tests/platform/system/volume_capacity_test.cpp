#include "platform/system/home_directory.h"
#include "platform/system/volume_capacity.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace korvel::platform {
namespace {

TEST(VolumeCapacityTest, AvailableNeverExceedsTotalAndMissingPathHasNoValue) {
    testing::TempDir dir;
    const auto capacity = readVolumeCapacity(dir.str());
    ASSERT_TRUE(capacity);
    EXPECT_GT(capacity->total, 0u);
    EXPECT_LE(capacity->available, capacity->total);
    EXPECT_FALSE(readVolumeCapacity(dir.str() + "/missing"));
}

TEST(HomeDirectoryTest, PrefersAnAbsoluteHomeAndFallsBackToTheAccount) {
    const char* saved = std::getenv("HOME");
    const std::string original = saved != nullptr ? saved : "";

    ::setenv("HOME", "/srv/korvel-home", 1);
    EXPECT_EQ(homeDirectory(), "/srv/korvel-home");

    ::setenv("HOME", "relative/home", 1);
    const auto fromAccount = homeDirectory();
    ::unsetenv("HOME");
    EXPECT_EQ(homeDirectory(), fromAccount);
    if (fromAccount) {
        EXPECT_EQ(fromAccount->front(), '/');
    }

    if (saved != nullptr) {
        ::setenv("HOME", original.c_str(), 1);
    }
}

} // namespace
} // namespace korvel::platform
