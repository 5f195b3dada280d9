#include "helper/sensors/gpu_performance_states.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

namespace ioreport = platform::ioreport;
using ioreport::ReportChannel;

ReportChannel gpuChannel(std::vector<ioreport::StateResidency> states) {
    return {ioreport::kGPUStatsGroup, ioreport::kGPUPerformanceStatesSubGroup, std::move(states)};
}

// A reporting library whose next sample delta the test chooses.
struct FakeIOReport : ioreport::IOReportLoader {
    struct Library : ioreport::IOReportLibrary {
        explicit Library(FakeIOReport& f) : fake(f) {}
        std::unique_ptr<ioreport::ReportChannels>
        copyChannelsInGroup(const std::string& group, const std::string& subGroup) override {
            fake.groupsAsked.emplace_back(group, subGroup);
            return fake.hasChannels ? std::make_unique<ioreport::ReportChannels>() : nullptr;
        }
        std::unique_ptr<ioreport::ReportSubscription>
        createSubscription(ioreport::ReportChannels&) override {
            return std::make_unique<ioreport::ReportSubscription>();
        }
        std::unique_ptr<ioreport::ReportSample> createSamples(ioreport::ReportSubscription&,
                                                              ioreport::ReportChannels&) override {
            return fake.sampleFails ? nullptr : std::make_unique<ioreport::ReportSample>();
        }
        std::optional<std::vector<ReportChannel>>
        createSamplesDelta(const ioreport::ReportSample&, const ioreport::ReportSample&) override {
            return fake.delta;
        }
        FakeIOReport& fake;
    };

    std::unique_ptr<ioreport::IOReportLibrary> open() override {
        return loadable ? std::make_unique<Library>(*this) : nullptr;
    }

    bool loadable = true;
    bool hasChannels = true;
    bool sampleFails = false;
    std::optional<std::vector<ReportChannel>> delta;
    std::vector<std::pair<std::string, std::string>> groupsAsked;
};

class GPUPerformanceStatesTest : public ::testing::Test {
protected:
    // The percentage stored and the flag returned.
    std::pair<double, int> read() {
        double percent = -1;
        const int flag = sampler.readGPUUsagePercent(&percent);
        return {percent, flag};
    }

    FakeIOReport report;
    std::vector<std::chrono::microseconds> sleeps;
    GPUPerformanceStateSampler sampler{
        report, [this](std::chrono::microseconds d) { sleeps.push_back(d); }};
};

TEST_F(GPUPerformanceStatesTest, ActiveShareOfTheFirstGPUChannel) {
    report.delta = std::vector<ReportChannel>{
        {"GPU Stats", "GPU Clock States", {{"P1", 100}}},
        {"gpu stats", "GPU Performance States", {{"P1", 100}}},
        gpuChannel({{"OFF", 10}, {"IDLE", 20}, {"P1", 30}, {"DOWN", 10}, {"P7", 10}, {"idle", 20}}),
        gpuChannel({{"P1", 100}}),
    };
    const auto [percent, flag] = read();
    EXPECT_DOUBLE_EQ(percent, 60);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(sleeps, (std::vector<std::chrono::microseconds>{std::chrono::microseconds(300000)}));
    EXPECT_EQ(report.groupsAsked,
              (decltype(report.groupsAsked){{"GPU Stats", "GPU Performance States"}}));
}

TEST_F(GPUPerformanceStatesTest, AFailedOrEmptyWindowRepeatsTheLastPercentage) {
    const std::pair<double, int> last{40, 1};
    report.delta = std::vector<ReportChannel>{gpuChannel({{"P2", 40}, {"IDLE", 60}})};
    EXPECT_EQ(read(), last);
    report.delta = std::vector<ReportChannel>{gpuChannel({{"P2", 0}, {"IDLE", 0}})};
    EXPECT_EQ(read(), last);
    report.delta = std::vector<ReportChannel>{{"GPU Stats", "Other", {{"P1", 5}}}};
    EXPECT_EQ(read(), last);
    report.delta = std::vector<ReportChannel>{gpuChannel({{"P1", -10}, {"IDLE", 100}})};
    EXPECT_EQ(read(), last) << "negative activity is no reading";
    report.delta.reset();
    EXPECT_EQ(read(), last);
    report.sampleFails = true;
    EXPECT_EQ(read(), last);

    const size_t sleptSoFar = sleeps.size();
    report.hasChannels = false;
    EXPECT_EQ(read(), last);
    report.loadable = false;
    EXPECT_EQ(read(), last);
    EXPECT_EQ(sleeps.size(), sleptSoFar) << "no window is waited without channels";
}

TEST_F(GPUPerformanceStatesTest, ZeroWithoutAReadingOrAfterAnIdleWindowClampedAtOneHundred) {
    report.loadable = false;
    EXPECT_EQ(read(), (std::pair<double, int>{0, 0}));
    EXPECT_TRUE(sleeps.empty());

    report.loadable = true;
    report.delta = std::vector<ReportChannel>{gpuChannel({{"P1", 150}, {"IDLE", -50}})};
    EXPECT_EQ(read(), (std::pair<double, int>{100, 1}));
    report.delta = std::vector<ReportChannel>{gpuChannel({{"OFF", 300}})};
    EXPECT_EQ(read(), (std::pair<double, int>{0, 0}));
    EXPECT_EQ(sampler.readGPUUsagePercent(nullptr), 0);
}

} // namespace
} // namespace korvel
