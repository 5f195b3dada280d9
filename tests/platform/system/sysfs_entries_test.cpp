#include "platform/system/sysfs_entries.h"

#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korvel::platform::sysfs {
namespace {

using testing::TempDir;

TEST(SysfsEntries, NumberedEntriesAndSignedValues) {
    TempDir dir;
    for (const char* name :
         {"hwmon10", "hwmon2", "hwmon0", "hwmon", "hwmonX", "hwmon3a", "other1", "temp1_input",
          "temp12_input", "temp3_label", "temp_input", "temp2_input"}) {
        dir.write(name, "");
    }
    EXPECT_EQ(numberedEntries(dir.str(), "hwmon"), (std::vector<unsigned>{0, 2, 10}));
    EXPECT_EQ(numberedEntries(dir.str(), "temp", "_input"), (std::vector<unsigned>{1, 2, 12}));
    EXPECT_TRUE(numberedEntries(dir.str() + "/absent", "temp").empty());

    EXPECT_EQ(readSigned(dir.write("a", "-4500\n").string()), -4500);
    EXPECT_FALSE(readSigned(dir.write("c", "52 000\n").string()));
    EXPECT_FALSE(readSigned(dir.write("d", "\n").string()));
    EXPECT_FALSE(readSigned(dir.str() + "/absent"));
}

TEST(SysfsEntries, OnlyAnAwakeDeviceMayBeRead) {
    testing::SysfsTree sys;
    EXPECT_TRUE(deviceIsAwake(sys.pciDevice("0000:00:01.0", "active")));
    EXPECT_FALSE(deviceIsAwake(sys.pciDevice("0000:00:02.0", "suspended")));
    EXPECT_FALSE(deviceIsAwake(sys.pciDevice("0000:00:03.0", "resuming")));
    // Runtime power management switched off: only a platform device is surely powered.
    EXPECT_FALSE(deviceIsAwake(sys.pciDevice("0000:00:04.0", "unsupported")));
    const auto platform = sys.path() / "devices/platform/gpu";
    sys.write("devices/platform/gpu/power/runtime_status", "unsupported\n");
    std::filesystem::create_directories(sys.path() / "bus/platform");
    std::filesystem::create_directory_symlink(sys.path() / "bus/platform", platform / "subsystem");
    EXPECT_TRUE(deviceIsAwake(platform));
    const auto unmanaged = sys.pciDevice("0000:00:05.0", "active");
    std::filesystem::remove(unmanaged / "power/runtime_status");
    EXPECT_TRUE(deviceIsAwake(unmanaged));
    EXPECT_TRUE(deviceIsAwake(sys.str() + "/no-device"));
}

} // namespace
} // namespace korvel::platform::sysfs
