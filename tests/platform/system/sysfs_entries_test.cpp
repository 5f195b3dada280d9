#include "platform/system/sysfs_entries.h"

#include "tests/support/temp_dir.h"

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
    TempDir sys;
    const auto device = [&](const std::string& name, const char* status, bool pci) {
        const std::string path = sys.str() + "/" + name;
        std::filesystem::create_directories(path);
        if (status != nullptr) {
            sys.write(name + "/power/runtime_status", std::string(status) + "\n");
        }
        std::filesystem::create_directories(sys.path() / "bus/pci");
        std::filesystem::create_directories(sys.path() / "bus/platform");
        std::filesystem::create_directory_symlink(sys.path() / (pci ? "bus/pci" : "bus/platform"),
                                                  path + "/subsystem");
        return path;
    };
    EXPECT_TRUE(deviceIsAwake(device("pci-active", "active", true)));
    EXPECT_FALSE(deviceIsAwake(device("pci-suspended", "suspended", true)));
    EXPECT_FALSE(deviceIsAwake(device("pci-resuming", "resuming", true)));
    // Runtime power management switched off: only a platform device is surely powered.
    EXPECT_FALSE(deviceIsAwake(device("pci-unsupported", "unsupported", true)));
    EXPECT_TRUE(deviceIsAwake(device("platform-unsupported", "unsupported", false)));
    EXPECT_TRUE(deviceIsAwake(device("no-power-management", nullptr, true)));
    EXPECT_TRUE(deviceIsAwake(sys.str() + "/no-device"));
}

} // namespace
} // namespace korvel::platform::sysfs
