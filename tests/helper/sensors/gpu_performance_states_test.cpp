#include "helper/sensors/gpu_performance_states.h"

#include "platform/ioreport/sysfs_gpu_report.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

using std::chrono::microseconds;

// The sampler over the Linux residency channels of a fixture tree; the
// channels' own rules are tested with them.
class GPUPerformanceStatesTest : public ::testing::Test {
protected:
    // The percentage stored and the flag returned.
    std::pair<double, int> read() {
        double percent = -1;
        const int flag = sampler.readGPUUsagePercent(&percent);
        return {percent, flag};
    }
    // A devfreq GPU's time in its idle, middle and top operating points.
    void devfreq(int idle, int middle, int top) {
        sys.write("class/devfreq/fde60000.gpu/trans_stat",
                  "*200000000: 0 5 2 " + std::to_string(idle) + "\n 400000000: 3 0 1 " +
                      std::to_string(middle) + "\n 800000000: 4 1 0 " + std::to_string(top) + "\n");
    }

    testing::TempDir sys;
    int64_t now = 1000000;
    std::vector<microseconds> sleeps;
    std::function<void()> duringWindow = [] {};
    platform::ioreport::SysfsGPUReportLoader report{sys.str(), sys.str() + "/no-nvml.so",
                                                    [this] { return now; }};
    GPUPerformanceStateSampler sampler{report, [this](microseconds window) {
                                           sleeps.push_back(window);
                                           now += window.count();
                                           duringWindow();
                                       }};
};

TEST_F(GPUPerformanceStatesTest, ActiveShareOfTheWindowThenZeroAfterAnIdleOne) {
    EXPECT_EQ(read(), (std::pair<double, int>{0, 0})) << "no GPU, no reading";
    EXPECT_TRUE(sleeps.empty()) << "no window is waited without channels";

    devfreq(1000, 500, 200);
    duringWindow = [this] { devfreq(1150, 560, 290); };
    EXPECT_EQ(read(), (std::pair<double, int>{50, 1}));
    EXPECT_EQ(sleeps, std::vector<microseconds>{microseconds(300000)});
    duringWindow = [this] { devfreq(1450, 560, 290); };
    EXPECT_EQ(read(), (std::pair<double, int>{0, 0}));
    EXPECT_EQ(sampler.readGPUUsagePercent(nullptr), 0);
}

TEST_F(GPUPerformanceStatesTest, AFailedOrEmptyWindowRepeatsTheLastPercentage) {
    const std::string busy = "class/drm/card0/device/gpu_busy_percent";
    sys.write(busy, "30\n");
    duringWindow = [&] { sys.write(busy, "50\n"); };
    const std::pair<double, int> last{40, 1};
    EXPECT_EQ(read(), last);
    duringWindow = [&] { sys.write(busy, "250\n"); };
    EXPECT_EQ(read(), last);
    duringWindow = [&] { std::filesystem::remove(sys.path() / busy); };
    EXPECT_EQ(read(), last);
    EXPECT_EQ(read(), last) << "no channels at all";
}

} // namespace
} // namespace korvel
