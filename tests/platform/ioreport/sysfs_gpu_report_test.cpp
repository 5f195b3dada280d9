#include "platform/ioreport/devfreq_counter.h"
#include "platform/ioreport/sysfs_gpu_report.h"

#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace korvel::platform::ioreport {
namespace {

using testing::SysfsTree;
using Channels = std::vector<std::vector<StateResidency>>;

class SysfsGPUReportTest : public ::testing::Test {
protected:
    SysfsGPUReportLoader loader(const std::string& nvml = "/nonexistent/libnvidia-ml.so.1") {
        return SysfsGPUReportLoader(sys.str(), nvml, [this] { return now; });
    }

    // The states of each channel of one sample pair, with `between` run (and
    // 300 ms passing) between the samples. No value when there are no channels.
    std::optional<Channels> window(
        IOReportLoader& source, const std::function<void()>& between = [] {}) {
        const auto library = source.open();
        EXPECT_TRUE(library);
        auto channels = library->copyChannelsInGroup(kGPUStatsGroup, kGPUPerformanceStatesSubGroup);
        if (!channels) {
            return std::nullopt;
        }
        const auto subscription = library->createSubscription(*channels);
        const auto first =
            subscription ? library->createSamples(*subscription, *channels) : nullptr;
        between();
        now += 300000;
        const auto second = first ? library->createSamples(*subscription, *channels) : nullptr;
        const auto delta = second ? library->createSamplesDelta(*first, *second) : std::nullopt;
        EXPECT_TRUE(delta) << "every step of a window with channels succeeds";
        Channels states;
        for (const ReportChannel& channel : delta.value_or(std::vector<ReportChannel>{})) {
            EXPECT_EQ(channel.group, kGPUStatsGroup);
            EXPECT_EQ(channel.subGroup, kGPUPerformanceStatesSubGroup);
            states.push_back(channel.states);
        }
        return states;
    }

    SysfsTree sys;
    int64_t now = 5000000;
};

TEST_F(SysfsGPUReportTest, NoCounterNoChannels) {
    sys.write("class/drm/card0/dev", "226:0\n");
    sys.write("class/drm/version", "drm 1.1.0\n");
    sys.write("class/devfreq/dmc/trans_stat", " 400000000:  0  10\n");
    // An NVIDIA card counts only through its library, missing or not loadable.
    sys.pciDevice("0000:01:00.0", "active", "bus/pci/drivers/nvidia/0000:01:00.0");
    sys.write("bus/pci/drivers/nvidia/new_id", "");
    auto missing = loader(sys.str() + "/no-such-libnvidia-ml.so.1");
    EXPECT_EQ(window(missing), std::nullopt);
    sys.write("fake-nvml.so", "not a library");
    auto fake = loader(sys.str() + "/fake-nvml.so");
    EXPECT_EQ(window(fake), std::nullopt);
}

TEST_F(SysfsGPUReportTest, IntelAndXeIdleResidencyAgainstElapsedTime) {
    const std::string rc6 = "class/drm/card1/power/rc6_residency_ms";
    sys.write(rc6, "1000\n");
    auto source = loader();
    EXPECT_EQ(window(source, [&] { sys.write(rc6, "1225\n"); }),
              (Channels{{{"IDLE", 225000}, {"BUSY", 75000}}}));
    // Idle for longer than the window (millisecond steps): fully idle, never negative.
    EXPECT_EQ(window(source, [&] { sys.write(rc6, "1526\n"); }),
              (Channels{{{"IDLE", 300000}, {"BUSY", 0}}}));

    std::filesystem::remove_all(sys.path() / "class/drm/card1");
    const std::string xe = "class/drm/card0/device/tile0/gt0/gtidle/idle_residency_ms";
    sys.write(xe, "40\n");
    auto xeSource = loader();
    EXPECT_EQ(window(xeSource, [&] { sys.write(xe, "190\n"); }),
              (Channels{{{"IDLE", 150000}, {"BUSY", 150000}}}));
}

TEST_F(SysfsGPUReportTest, DevfreqTimeInState) {
    // Rows out of frequency order, as the parser must not assume it.
    const auto table = [](int low, int mid, int high) {
        return " 800000000: 4 1 0 " + std::to_string(high) + "\n*200000000: 0 5 2 " +
               std::to_string(low) + "\n 400000000: 3 0 1 " + std::to_string(mid) + "\n";
    };
    const std::string gpu = "class/devfreq/fde60000.gpu/trans_stat";
    sys.write(gpu, table(1000, 500, 200));
    sys.write("class/devfreq/dmc/trans_stat", table(1, 1, 1));
    auto source = loader();
    // Ordered by frequency; the lowest point is the idle state.
    EXPECT_EQ(window(source, [&] { sys.write(gpu, table(1150, 560, 290)); }),
              (Channels{{{"IDLE", 150}, {"P1", 60}, {"P2", 90}}}));
    // Statistics reset between the samples: no channel.
    EXPECT_EQ(window(source, [&] { sys.write(gpu, table(0, 0, 0)); }), Channels{});
}

TEST_F(SysfsGPUReportTest, SleepingGPUsComeLastAndAreNotRead) {
    const std::string device = "devices/pci0000:00/0000:03:00.0";
    sys.pciDevice("0000:03:00.0", "suspended", "class/drm/card0/device");
    sys.write(device + "/gpu_busy_percent", "garbage\n");
    sys.write("class/drm/card1/power/rc6_residency_ms", "0\n");
    auto source = loader();
    EXPECT_EQ(window(source, [&] { sys.write("class/drm/card1/power/rc6_residency_ms", "150\n"); }),
              (Channels{{{"IDLE", 150000}, {"BUSY", 150000}}, {{"OFF", 300000}}}));

    // Waking between the samples still counts as asleep for this window.
    EXPECT_EQ(window(source,
                     [&] {
                         sys.write(device + "/power/runtime_status", "active\n");
                         sys.write(device + "/gpu_busy_percent", "20\n");
                     }),
              (Channels{{{"IDLE", 0}, {"BUSY", 300000}}, {{"OFF", 300000}}}));
}

TEST(DevfreqCounter, ReadsTheTimeOfEveryOperatingPointAndRecognisesGPUs) {
    const std::string text = "     From  :   To\n"
                             "           : 200000000 400000000 800000000   time(ms)\n"
                             "*200000000:         0         5         2     123456\n"
                             " 400000000:         3         0         1       7890\n"
                             " 800000000:         4         1         0          0\n"
                             "Total transition : 16\n";
    EXPECT_EQ(parseTransStat(text),
              (std::vector<FrequencyTime>{{200000000, 123456}, {400000000, 7890}, {800000000, 0}}));
    EXPECT_TRUE(parseTransStat("Not Supported.\n").empty());
    EXPECT_TRUE(parseTransStat("").empty());
    EXPECT_TRUE(parseTransStat("     From  :   To\n           :   time(ms)\n").empty());
    // A row whose time is not a number is not a row.
    EXPECT_TRUE(parseTransStat(" 400000000:         3         0    12x\n").empty());
    for (const char* name : {"fde60000.gpu", "13000000.mali", "1c40000.GPU", "kgsl-3d0"}) {
        EXPECT_TRUE(DevfreqCounter::isGPU(name)) << name;
    }
    for (const char* name : {"dmc", "ff9a0000.npu", "soc:bus"}) {
        EXPECT_FALSE(DevfreqCounter::isGPU(name)) << name;
    }
}

} // namespace
} // namespace korvel::platform::ioreport
