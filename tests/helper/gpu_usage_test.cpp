#include "helper/gpu_usage.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korvel {
namespace {

using testing::TempDir;

TEST(PowermetricsParse, TheFirstResidencyWithANumberDecidesWhenItIsAPercentage) {
    const std::pair<std::string, std::optional<double>> cases[] = {
        {"**** GPU usage ****\n\nGPU HW active residency:  12.5% (389 MHz: 12%)\n", 12.5},
        {"GPU HW active residency:0%", 0.0},
        {"GPU HW active residency: 100%", 100.0},
        {"GPU HW active residency:\n\t 7%", 7.0},
        {"GPU HW active residency: n/a\nGPU HW active residency: 33.25%\n", 33.25},
        {"GPU HW active residency: 150%\nGPU HW active residency: 20%\n", std::nullopt},
        {"GPU HW active residency: 100.01%", std::nullopt},
        {"GPU HW active residency: -5%", std::nullopt},
        {"GPU HW Active Residency: 5%", std::nullopt},
        {"GPU HW active residency: 12.5", std::nullopt},
        {"", std::nullopt},
        // Endless output must not exhaust the matcher's stack.
        {"GPU HW active residency:" + std::string(2000000, ' ') + "5%", std::nullopt},
        {"GPU HW active residency: " + std::string(2000000, '7') + "%", std::nullopt},
        {std::string(2000000, 'x') + "\nGPU HW active residency: 8%", 8.0},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parsePowermetricsGPUResidency(text), expected) << text.substr(0, 60);
    }
}

std::string displays(const std::string& entries) {
    return R"({"SPDisplaysDataType":[)" + entries + "]}";
}

std::string gpuEntry(const std::string& cores) {
    return R"({"sppci_device_type":"spdisplays_gpu","sppci_cores":)" + cores + "}";
}

TEST(SystemProfilerParse, FirstGPUWithADecimalCoreCountInAWellFormedDocument) {
    const std::string other = R"({"sppci_device_type":"spdisplays_display","sppci_cores":"4"})";
    EXPECT_EQ(parseSystemProfilerGPUCores(displays(other + "," + gpuEntry(R"("10")"))), 10);
    const auto cores = [](const char* count) {
        return parseSystemProfilerGPUCores(displays(gpuEntry(count)));
    };
    EXPECT_EQ(cores(R"("+8")"), 8);
    EXPECT_EQ(cores(R"("-0038")"), -38);
    EXPECT_EQ(cores(R"("9223372036854775807")"), INT64_MAX);
    EXPECT_EQ(cores(R"("-9223372036854775808")"), INT64_MIN);
    // Values that are passed over, each followed by a GPU that qualifies.
    for (const char* bad : {R"("")", R"("+")", R"("-")", R"("10 cores")", R"(" 10")", R"("10 ")",
                            R"("1e3")", R"("0x10")", R"("+-1")", R"("١٠")", "10", "10.0", "null",
                            "true", R"(["10"])", R"("9223372036854775808")"}) {
        EXPECT_EQ(parseSystemProfilerGPUCores(displays(gpuEntry(bad) + "," + gpuEntry(R"("24")"))),
                  24)
            << bad;
        EXPECT_FALSE(cores(bad)) << bad;
    }
    const std::string gpu = gpuEntry(R"("10")");
    for (
        const std::string& document :
        {std::string(), std::string("{"), "[" + gpu + "]", R"({"SPDisplaysDataType":)" + gpu + "}",
         R"({"Displays":[)" + gpu + "]}", displays(gpu + ",3"), displays(gpu) + "trailing",
         displays(
             R"({"sppci_cores":"12"},{"sppci_device_type":"spdisplays_GPU","sppci_cores":"12"})")}) {
        EXPECT_FALSE(parseSystemProfilerGPUCores(document)) << document;
    }
}

// Fake tools: each run appends its arguments to a log, prints the chosen output
// file on standard output (a residency on standard error, which must not count)
// and exits with the chosen status.
class GPUCollectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        tool("powermetrics");
        tool("system_profiler");
    }

    void tool(const std::string& name) {
        const std::string base = dir.str() + "/" + name;
        const auto script = dir.write(name, "#!/bin/sh\necho \"$*\" >> '" + base + ".runs'\n" +
                                                "echo 'GPU HW active residency: 50%' >&2\ncat '" +
                                                base + ".out' 2>/dev/null\nexit $(cat '" + base +
                                                ".status' 2>/dev/null || echo 0)\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }

    void respond(const std::string& name, const std::string& output, int status = 0) {
        dir.write(name + ".out", output);
        dir.write(name + ".status", std::to_string(status) + "\n");
    }

    std::string runs(const std::string& name) const { return dir.read(name + ".runs"); }

    GPUCollector collector() {
        return GPUCollector(
            [this](double* out) {
                *out = libraryPercent;
                return libraryPercent > 0 ? 1 : 0;
            },
            {dir.str() + "/powermetrics", dir.str() + "/system_profiler"}, [this] { return now; });
    }

    const std::string sample = "--samplers gpu_power -i 250 -n 1\n";
    const std::string profile = "SPDisplaysDataType -json -detailLevel mini\n";
    TempDir dir;
    double libraryPercent = 0;
    double now = 700000000.0;
};

TEST_F(GPUCollectorTest, TheLibraryElsePowermetricsRunAtMostOncePerTwoSeconds) {
    respond("powermetrics", "GPU HW active residency:  12.5%\n");
    libraryPercent = 40;
    auto gpu = collector();
    EXPECT_EQ(gpu.readGPUUsage(), 40.0);
    EXPECT_TRUE(runs("powermetrics").empty());

    libraryPercent = 0;
    EXPECT_EQ(gpu.readGPUUsage(), 12.5);
    EXPECT_EQ(runs("powermetrics"), sample);
    now += 1.0;
    respond("powermetrics", "GPU HW active residency: 30%\n");
    EXPECT_EQ(gpu.readGPUUsage(), 12.5);
    now += 1.0;
    EXPECT_EQ(gpu.readGPUUsage(), 12.5) << "2.0 s old is still inside the window";
    EXPECT_EQ(runs("powermetrics"), sample);
    now += 0.5;
    EXPECT_EQ(gpu.readGPUUsage(), 30.0);
    EXPECT_EQ(runs("powermetrics"), sample + sample);

    // A clock set back does not make the value fresh for longer.
    now -= 3600;
    respond("powermetrics", "GPU HW active residency: 31%\n");
    EXPECT_EQ(gpu.readGPUUsage(), 31.0);
    EXPECT_EQ(runs("powermetrics"), sample + sample + sample);
}

TEST_F(GPUCollectorTest, AFailedRunKeepsTheCacheAndRetriesNextTime) {
    auto gpu = collector();
    respond("powermetrics", "GPU HW active residency: 150%\n");
    EXPECT_FALSE(gpu.readGPUUsage()) << "nothing cached yet";

    respond("powermetrics", "GPU HW active residency: 12.5%\n");
    EXPECT_EQ(gpu.readGPUUsage(), 12.5);
    now += 3;
    respond("powermetrics", "GPU HW active residency: 150%\n");
    EXPECT_EQ(gpu.readGPUUsage(), 12.5);
    respond("powermetrics", "GPU HW active residency: 20%\n", 1);
    EXPECT_EQ(gpu.readGPUUsage(), 12.5);
    // The failures refreshed nothing: every request ran the tool again.
    EXPECT_EQ(runs("powermetrics"), sample + sample + sample + sample);

    std::filesystem::remove(dir.path() / "powermetrics");
    EXPECT_EQ(gpu.readGPUUsage(), 12.5);
}

TEST_F(GPUCollectorTest, CoreCountComesFromOneSystemProfilerRunWhateverItsOutcome) {
    respond("system_profiler", displays(gpuEntry(R"("10")")));
    auto gpu = collector();
    EXPECT_EQ(gpu.readGPUCoreCount(), 10);
    respond("system_profiler", displays(gpuEntry(R"("16")")));
    EXPECT_EQ(gpu.readGPUCoreCount(), 10);
    EXPECT_EQ(runs("system_profiler"), profile);

    respond("system_profiler", displays(gpuEntry(R"("10")")), 2);
    auto failed = collector();
    EXPECT_FALSE(failed.readGPUCoreCount());
    respond("system_profiler", displays(gpuEntry(R"("10")")));
    EXPECT_FALSE(failed.readGPUCoreCount());
    EXPECT_EQ(runs("system_profiler"), profile + profile);

    std::filesystem::remove(dir.path() / "system_profiler");
    auto missing = collector();
    EXPECT_FALSE(missing.readGPUCoreCount());
    tool("system_profiler");
    EXPECT_FALSE(missing.readGPUCoreCount());
}

} // namespace
} // namespace korvel
