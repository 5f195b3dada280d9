#include "platform/ioreport/sysfs_gpu_report.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace korvel::platform::ioreport {
namespace {

using testing::TempDir;

class SysfsGPUReportTest : public ::testing::Test {
protected:
    SysfsGPUReportLoader loader(const std::string& nvml = "/nonexistent/libnvidia-ml.so.1") {
        return SysfsGPUReportLoader(sys.str(), nvml, [this] { return now; });
    }

    // The channels of one sample pair, with `between` run (and 300 ms passing)
    // between the samples. No value when there are no channels.
    std::optional<std::vector<ReportChannel>> window(IOReportLoader& source,
                                                     const std::function<void()>& between) {
        const auto library = source.open();
        EXPECT_TRUE(library);
        auto channels = library->copyChannelsInGroup(kGPUStatsGroup, kGPUPerformanceStatesSubGroup);
        if (!channels) {
            return std::nullopt;
        }
        const auto subscription = library->createSubscription(*channels);
        EXPECT_TRUE(subscription);
        const auto first = library->createSamples(*subscription, *channels);
        EXPECT_TRUE(first);
        between();
        now += 300000;
        const auto second = library->createSamples(*subscription, *channels);
        EXPECT_TRUE(second);
        auto delta = library->createSamplesDelta(*first, *second);
        EXPECT_TRUE(delta);
        for (const ReportChannel& channel : *delta) {
            EXPECT_EQ(channel.group, kGPUStatsGroup);
            EXPECT_EQ(channel.subGroup, kGPUPerformanceStatesSubGroup);
        }
        return delta;
    }

    void pciDevice(const std::string& link, const std::string& address, const std::string& status) {
        const std::string device = "devices/pci0000:00/" + address;
        sys.write(device + "/power/runtime_status", status + "\n");
        std::filesystem::create_directories(sys.path() / "bus/pci/devices");
        std::filesystem::create_directory_symlink(sys.path() / "bus/pci",
                                                  sys.path() / device / "subsystem");
        std::filesystem::create_directories((sys.path() / link).parent_path());
        std::filesystem::create_directory_symlink(sys.path() / device, sys.path() / link);
    }

    TempDir sys;
    int64_t now = 5000000;
};

TEST_F(SysfsGPUReportTest, NoCounterNoChannels) {
    sys.write("class/drm/card0/dev", "226:0\n");
    sys.write("class/drm/version", "drm 1.1.0\n");
    sys.write("class/devfreq/dmc/trans_stat", " 400000000:  0  10\n");
    auto source = loader();
    auto library = source.open();
    ASSERT_TRUE(library);
    EXPECT_FALSE(library->copyChannelsInGroup(kGPUStatsGroup, kGPUPerformanceStatesSubGroup));
}

TEST_F(SysfsGPUReportTest, AmdBusyPercentOverTheWindow) {
    sys.write("class/drm/card0/device/gpu_busy_percent", "30\n");
    sys.write("class/drm/card0-DP-1/status", "connected\n");
    sys.write("class/drm/renderD128/dev", "226:128\n");
    auto source = loader();

    // Only the GPU group has channels.
    auto library = source.open();
    EXPECT_FALSE(library->copyChannelsInGroup("Energy Model", kGPUPerformanceStatesSubGroup));
    EXPECT_FALSE(library->copyChannelsInGroup(kGPUStatsGroup, "GPU Clock Residency"));

    const auto channels =
        window(source, [&] { sys.write("class/drm/card0/device/gpu_busy_percent", "50\n"); });
    ASSERT_TRUE(channels);
    ASSERT_EQ(channels->size(), 1u);
    EXPECT_EQ(channels->at(0).states, (std::vector<StateResidency>{{"BUSY", 80}, {"IDLE", 120}}));

    // An impossible percentage gives no channel rather than a wrong one.
    const auto bad =
        window(source, [&] { sys.write("class/drm/card0/device/gpu_busy_percent", "250\n"); });
    ASSERT_TRUE(bad);
    EXPECT_TRUE(bad->empty());
    // So does a counter that vanishes.
    sys.write("class/drm/card0/device/gpu_busy_percent", "30\n");
    const auto gone = window(source, [&] {
        std::filesystem::remove(sys.path() / "class/drm/card0/device/gpu_busy_percent");
    });
    ASSERT_TRUE(gone);
    EXPECT_TRUE(gone->empty());
}

TEST_F(SysfsGPUReportTest, IntelAndXeIdleResidencyAgainstElapsedTime) {
    sys.write("class/drm/card1/power/rc6_residency_ms", "1000\n");
    auto source = loader();
    const auto channels =
        window(source, [&] { sys.write("class/drm/card1/power/rc6_residency_ms", "1225\n"); });
    ASSERT_TRUE(channels);
    ASSERT_EQ(channels->size(), 1u);
    EXPECT_EQ(channels->at(0).states,
              (std::vector<StateResidency>{{"IDLE", 225000}, {"BUSY", 75000}}));

    // Idle for longer than the window (millisecond steps): fully idle, never negative.
    const auto overshoot =
        window(source, [&] { sys.write("class/drm/card1/power/rc6_residency_ms", "1526\n"); });
    ASSERT_TRUE(overshoot);
    EXPECT_EQ(overshoot->at(0).states,
              (std::vector<StateResidency>{{"IDLE", 300000}, {"BUSY", 0}}));

    std::filesystem::remove_all(sys.path() / "class/drm/card1");
    const std::string xe = "class/drm/card0/device/tile0/gt0/gtidle/idle_residency_ms";
    sys.write(xe, "40\n");
    auto xeSource = loader();
    const auto xeChannels = window(xeSource, [&] { sys.write(xe, "190\n"); });
    ASSERT_TRUE(xeChannels);
    ASSERT_EQ(xeChannels->size(), 1u);
    EXPECT_EQ(xeChannels->at(0).states,
              (std::vector<StateResidency>{{"IDLE", 150000}, {"BUSY", 150000}}));
}

TEST_F(SysfsGPUReportTest, DevfreqTimeInState) {
    // Rows out of frequency order, as the parser must not assume it.
    const auto table = [](int low, int mid, int high) {
        return " 800000000: 4 1 0 " + std::to_string(high) + "\n*200000000: 0 5 2 " +
               std::to_string(low) + "\n 400000000: 3 0 1 " + std::to_string(mid) + "\n";
    };
    sys.write("class/devfreq/fde60000.gpu/trans_stat", table(1000, 500, 200));
    sys.write("class/devfreq/dmc/trans_stat", table(1, 1, 1));
    auto source = loader();
    const auto channels = window(
        source, [&] { sys.write("class/devfreq/fde60000.gpu/trans_stat", table(1150, 560, 290)); });
    ASSERT_TRUE(channels);
    ASSERT_EQ(channels->size(), 1u);
    // Ordered by frequency; the lowest point is the idle state.
    EXPECT_EQ(channels->at(0).states,
              (std::vector<StateResidency>{{"IDLE", 150}, {"P1", 60}, {"P2", 90}}));

    // Statistics reset between the samples: no channel.
    const auto reset =
        window(source, [&] { sys.write("class/devfreq/fde60000.gpu/trans_stat", table(0, 0, 0)); });
    ASSERT_TRUE(reset);
    EXPECT_TRUE(reset->empty());
}

TEST_F(SysfsGPUReportTest, SleepingGPUsComeLastAndAreNotRead) {
    pciDevice("class/drm/card0/device", "0000:03:00.0", "suspended");
    sys.write("devices/pci0000:00/0000:03:00.0/gpu_busy_percent", "garbage\n");
    sys.write("class/drm/card1/power/rc6_residency_ms", "0\n");
    auto source = loader();
    const auto channels =
        window(source, [&] { sys.write("class/drm/card1/power/rc6_residency_ms", "150\n"); });
    ASSERT_TRUE(channels);
    ASSERT_EQ(channels->size(), 2u);
    EXPECT_EQ(channels->at(0).states,
              (std::vector<StateResidency>{{"IDLE", 150000}, {"BUSY", 150000}}));
    EXPECT_EQ(channels->at(1).states, (std::vector<StateResidency>{{"OFF", 300000}}));

    // Waking between the samples still counts as asleep for this window.
    const auto waking = window(source, [&] {
        sys.write("devices/pci0000:00/0000:03:00.0/power/runtime_status", "active\n");
        sys.write("devices/pci0000:00/0000:03:00.0/gpu_busy_percent", "20\n");
    });
    ASSERT_TRUE(waking);
    ASSERT_EQ(waking->size(), 2u);
    EXPECT_EQ(waking->at(1).states, (std::vector<StateResidency>{{"OFF", 300000}}));
}

TEST_F(SysfsGPUReportTest, NvidiaWithoutItsLibraryHasNoChannel) {
    pciDevice("bus/pci/drivers/nvidia/0000:01:00.0", "0000:01:00.0", "active");
    sys.write("bus/pci/drivers/nvidia/new_id", "");
    auto source = loader(sys.str() + "/no-such-libnvidia-ml.so.1");
    auto library = source.open();
    ASSERT_TRUE(library);
    EXPECT_FALSE(library->copyChannelsInGroup(kGPUStatsGroup, kGPUPerformanceStatesSubGroup));

    // A file that is not a loadable library is no better.
    sys.write("fake-nvml.so", "not a library");
    auto fake = loader(sys.str() + "/fake-nvml.so");
    EXPECT_FALSE(fake.open()->copyChannelsInGroup(kGPUStatsGroup, kGPUPerformanceStatesSubGroup));
}

} // namespace
} // namespace korvel::platform::ioreport
