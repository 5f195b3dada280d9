#include "platform/sensors/sensors.h"

#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korvel::platform::sensors {
namespace {

using namespace std::chrono_literals;
using testing::SysfsTree;
using Reading = SensorReading;
using Writes = std::vector<std::pair<std::string, std::string>>;
constexpr std::nullopt_t none = std::nullopt;

// Sensors over a fixture tree, with a clock the test moves on.
struct Fixture {
    explicit Fixture(const SysfsTree& sys)
        : sensors({sys.str(), sys.str() + "/no-libnvidia-ml.so.1", [this] { return clock; }}) {}

    Microseconds clock{5000000};
    Sensors sensors;
};

// A devfreq table with its rows out of frequency order, as the parser must not assume one.
std::string transStat(int idle, int middle, int top) {
    return "     From  :   To\n           : 200000000 400000000 800000000   time(ms)\n"
           " 800000000: 4 1 0 " +
           std::to_string(top) + "\n*200000000: 0 5 2 " + std::to_string(idle) +
           "\n 400000000: 3 0 1 " + std::to_string(middle) + "\nTotal transition : 16\n";
}

TEST(Sensors, MachinesGiveTheirFourFigures) {
    struct Machine {
        const char* name;
        std::function<void(const SysfsTree&)> build;
        Writes later; // once the clock moved on 300 ms
        Reading expected;
    };
    const std::string amdBusy = "devices/pci0000:00/0000:03:00.0/gpu_busy_percent";
    const std::string mali = "class/devfreq/fde60000.gpu/trans_stat";
    const Machine machines[] = {
        {"desktop AMD",
         [&](const SysfsTree& sys) {
             sys.hwmonChip(0, "nvme", {"38000"});
             sys.hwmonChip(1, "k10temp", {"55500", "48250"});
             sys.hwmonChip(2, "amdgpu", {"42000", "45000", "50000"});
             sys.pciDevice("0000:03:00.0", "active", "class/drm/card0/device");
             sys.write(amdBusy, "20\n");
         },
         {{amdBusy, "30\n"}},
         {(55.5 + 48.25) / 2, (42.0 + 45 + 50) / 3, 30}},
        {"Raspberry Pi-like board",
         [&](const SysfsTree& sys) {
             sys.hwmonChip(0, "cpu_thermal", {"48500"});
             sys.thermalZone(0, "cpu-thermal", "48500");
             sys.thermalZone(1, "gpu-thermal", "45000");
             sys.write(mali, transStat(1000, 500, 200));
             sys.write("class/devfreq/dmc/trans_stat", transStat(1, 1, 1));
         },
         {{mali, transStat(1090, 560, 350)}},
         {48.5, none, 70}},
        {"chips in range, a sleeping GPU chip left alone",
         [](const SysfsTree& sys) {
             sys.hwmonChip(2, "k10temp", {"51250", nullptr, "60000"});
             sys.hwmonChip(1, "coretemp", {"0", "-5000", "151000", "150000", "garbage"});
             sys.hwmonChip(10, "amdgpu", {"150500", "47000"});
             sys.hwmonChip(11, "nouveau", {"52000"});
             sys.pciDevice("0000:03:00.1", "suspended", "class/hwmon/hwmon11/device");
         },
         {},
         {(150 + 51.25 + 60) / 3, 47, none}},
        {"thermal zones when no chip reads",
         [](const SysfsTree& sys) {
             sys.hwmonChip(0, "coretemp", {"0"});
             sys.thermalZone(1, "x86_pkg_temp", "40000");
             sys.thermalZone(2, "CPU0-thermal", "50000");
             sys.thermalZone(3, "cpu1-thermal", "150000");
             sys.thermalZone(4, "cpu2-thermal", "0");
             sys.thermalZone(5, "cpu3-thermal", "-3000");
             sys.thermalZone(6, "cpu4-thermal", nullptr);
             sys.thermalZone(7, "acpitz", "99000");
             sys.thermalZone(8, "gpu-thermal", "60000");
             sys.thermalZone(9, "gpu1-thermal", "149500");
             sys.thermalZone(10, "gpu2-thermal", "43000");
             sys.pciDevice("0000:01:00.0", "suspended", "class/thermal/thermal_zone10/device");
         },
         {},
         {45, (60 + 149.5) / 2, none}},
    };
    for (const Machine& machine : machines) {
        SysfsTree sys;
        machine.build(sys);
        Fixture fixture(sys);
        fixture.sensors.read();
        fixture.clock += 300ms;
        for (const auto& [file, text] : machine.later) {
            sys.write(file, text);
        }
        EXPECT_EQ(fixture.sensors.read(), machine.expected) << machine.name;
    }
}

// Every tree also has a CPU zone, which answers only when no chip reads.
TEST(Sensors, ChipsAndZonesCountByTheirNames) {
    const std::pair<const char*, Reading> chips[] = {
        {"coretemp", {50, none, none}},     {"zenpower", {50, none, none}},
        {"cpu0_thermal", {50, none, none}}, {"nouveau", {none, 50, none}},
        {"xe", {none, 50, none}},           {"gpu1_thermal", {none, 50, none}},
        {"nvme", {70, none, none}},         {"cpu", {70, none, none}},
        {"soc_thermal", {70, none, none}},  {"xe2", {70, none, none}},
    };
    for (const auto& [chip, expected] : chips) {
        SysfsTree sys;
        sys.hwmonChip(0, chip, {"50000"});
        sys.thermalZone(0, "cpu-thermal", "70000");
        EXPECT_EQ(Fixture(sys).sensors.read(), expected) << chip;
    }
    const std::pair<const char*, Reading> zones[] = {
        {"TCPU", {50, none, none}},
        {"B0D4", {50, none, none}},
        {"GPU-thermal", {none, 50, none}},
        {"acpitz", {}},
        {"soc-thermal", {}},
    };
    for (const auto& [zone, expected] : zones) {
        SysfsTree sys;
        sys.thermalZone(0, zone, "50000");
        EXPECT_EQ(Fixture(sys).sensors.read(), expected) << zone;
    }
}

TEST(Sensors, ChipsAreListedOnceAndReadEachTime) {
    SysfsTree sys;
    Fixture empty(sys);
    EXPECT_EQ(empty.sensors.read(), Reading{});
    sys.hwmonChip(1, "amdgpu", {"61000"});
    EXPECT_EQ(empty.sensors.read(), Reading{}) << "a chip that appears later is never listed";
    Fixture listed(sys);
    EXPECT_EQ(listed.sensors.read().gpuCelsius, 61.0);
    sys.write("class/hwmon/hwmon1/temp1_input", "64000\n");
    EXPECT_EQ(listed.sensors.read().gpuCelsius, 64.0);
}

TEST(Sensors, GpuBusyComesFromTheFirstAwakeGpuWhoseCounterGivesAShare) {
    SysfsTree sys;
    Fixture fixture(sys);
    const auto busyAfter = [&](Microseconds passed, const Writes& writes) {
        for (const auto& [file, text] : writes) {
            sys.write(file, text);
        }
        fixture.clock += passed;
        return fixture.sensors.read().gpuBusyPercent;
    };
    // An NVIDIA GPU counts only through its library, missing or not loadable.
    sys.write("class/drm/card0/dev", "226:0\n");
    sys.pciDevice("0000:01:00.0", "active", "bus/pci/drivers/nvidia/0000:01:00.0");
    sys.write("bus/pci/drivers/nvidia/new_id", "");
    sys.write("no-libnvidia-ml.so.1", "not a library");
    EXPECT_EQ(busyAfter(1s, {{"class/devfreq/fde60000.gpu/trans_stat", "Not Supported.\n"}}), none);

    // A sleeping AMD card is passed over; idle residency needs an earlier reading.
    const std::string amd = "devices/pci0000:00/0000:03:00.0";
    sys.pciDevice("0000:03:00.0", "suspended", "class/drm/card0/device");
    const std::string rc6 = "class/drm/card1/power/rc6_residency_ms";
    const std::string xe = "class/drm/card2/device/tile0/gt0/gtidle/idle_residency_ms";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(busyAfter(1s, {{amd + "/gpu_busy_percent", "90\n"}, {rc6, "400\n"}, {xe, "40\n"}}),
              none);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 300ms) << "a reply waits on nothing";
    EXPECT_EQ(busyAfter(1s, {{rc6, "1150\n"}, {xe, "100\n"}}), 25);
    // Idle for longer than the time passed (millisecond steps): idle, not negative.
    EXPECT_EQ(busyAfter(300ms, {{rc6, "1451\n"}}), none);
    EXPECT_EQ(busyAfter(10ms, {{amd + "/power/runtime_status", "active\n"},
                               {amd + "/gpu_busy_percent", "20\n"}}),
              20)
        << "the driver's own share counts at once";
    EXPECT_EQ(busyAfter(300ms, {{amd + "/gpu_busy_percent", "250\n"}, {rc6, "1751\n"}}), none)
        << "out of range: no reading, not the last one again";
    EXPECT_EQ(busyAfter(300ms, {{amd + "/gpu_busy_percent", "30\n"}}), 30);

    // Each counter against its own reading of the call before, taken while others answered.
    std::filesystem::remove_all(sys.path() / "class/drm/card0");
    std::filesystem::remove_all(sys.path() / "class/drm/card1");
    EXPECT_EQ(busyAfter(300ms, {{xe, "250\n"}}), 50);
    EXPECT_EQ(busyAfter(300ms, {{xe, "10\n"}}), none) << "a counter that went back";
    EXPECT_EQ(busyAfter(200ms, {{xe, "160\n"}}), 25);
    std::filesystem::remove_all(sys.path() / "class/drm");

    const std::string mali = "class/devfreq/13000000.mali/trans_stat";
    EXPECT_EQ(busyAfter(1s, {{mali, transStat(1000, 500, 200)}}), none);
    EXPECT_EQ(busyAfter(1s, {{mali, transStat(1150, 560, 290)}}), 50);
    EXPECT_EQ(busyAfter(1s, {{mali, transStat(0, 0, 0)}}), none) << "statistics reset";
    EXPECT_EQ(busyAfter(1s, {{mali, transStat(300, 0, 0)}}), none) << "idle throughout";
}

} // namespace
} // namespace korvel::platform::sensors
