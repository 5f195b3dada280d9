#include "platform/sensors/sensors.h"

#include "platform/program/ascii_text.h"
#include "platform/system/sysfs_entries.h"
#include "platform/system/text_file.h"

#include <algorithm>

namespace korvel::platform::sensors {

namespace {

struct NameRule {
    std::string_view pattern; // one '*' stands for any text, possibly none
    Family family;
};

// hwmon chips by their name attribute. Thermal zones registered as chips keep
// the zone's name with '-' made '_' (cpu0_thermal).
constexpr NameRule kHwmonChips[] = {
    {"coretemp", Family::cpu},     {"k10temp", Family::cpu},     {"k8temp", Family::cpu},
    {"zenpower", Family::cpu},     {"via_cputemp", Family::cpu}, {"x86_pkg_temp", Family::cpu},
    {"cpu*_thermal", Family::cpu}, {"amdgpu", Family::gpu},      {"radeon", Family::gpu},
    {"nouveau", Family::gpu},      {"xe", Family::gpu},          {"i915", Family::gpu},
    {"gpu*_thermal", Family::gpu},
};

// Thermal zones by type, in any case. TCPU and B0D4 are the firmware's names
// for the processor's own thermal device.
constexpr NameRule kThermalZones[] = {
    {"x86_pkg_temp", Family::cpu}, {"tcpu", Family::cpu}, {"b0d4", Family::cpu},
    {"cpu*", Family::cpu},         {"gpu*", Family::gpu},
};

bool matches(std::string_view pattern, std::string_view name) {
    const auto star = pattern.find('*');
    if (star == std::string_view::npos) {
        return name == pattern;
    }
    const std::string_view prefix = pattern.substr(0, star);
    const std::string_view suffix = pattern.substr(star + 1);
    return name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix);
}

template <size_t N>
std::optional<Family> classify(const NameRule (&rules)[N], std::string_view name) {
    const auto rule = std::ranges::find_if(
        rules, [&](const NameRule& candidate) { return matches(candidate.pattern, name); });
    return rule == std::end(rules) ? std::nullopt : std::optional(rule->family);
}

// Sysfs temperatures are millidegrees Celsius.
std::optional<double> readCelsius(const std::string& file, const std::string& device) {
    if (!sysfs::deviceIsAwake(device)) {
        return std::nullopt;
    }
    const auto milli = sysfs::readSigned(file);
    if (!milli) {
        return std::nullopt;
    }
    return static_cast<double>(*milli) / 1000.0;
}

class FamilyMeans {
public:
    void add(Family family, double celsius) {
        Sum& sum = family == Family::cpu ? cpu_ : gpu_;
        sum.total += celsius;
        ++sum.count;
    }
    bool empty() const { return cpu_.count == 0 && gpu_.count == 0; }
    void store(SensorReading& reading) const {
        reading.cpuCelsius = cpu_.mean();
        reading.gpuCelsius = gpu_.mean();
    }

private:
    struct Sum {
        double total = 0;
        int count = 0;
        std::optional<double> mean() const {
            return count == 0 ? std::nullopt : std::optional<double>(total / count);
        }
    };
    Sum cpu_;
    Sum gpu_;
};

} // namespace

Microseconds steadyNow() {
    return std::chrono::duration_cast<Microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

SensorReading Sensors::read() {
    SensorReading reading;
    readTemperatures(reading);
    reading.gpuBusyPercent = readGpuBusyPercent();
    return reading;
}

void Sensors::readTemperatures(SensorReading& reading) {
    if (!hwmonInputs_) {
        hwmonInputs_.emplace();
        const std::string classDir = options_.root + "/class/hwmon";
        for (const unsigned number : sysfs::numberedEntries(classDir, "hwmon")) {
            const std::string chip = classDir + "/hwmon" + std::to_string(number);
            const auto name = readFirstLine(chip + "/name");
            const auto family = name ? classify(kHwmonChips, *name) : std::nullopt;
            if (!family) {
                continue;
            }
            for (const unsigned input : sysfs::numberedEntries(chip, "temp", "_input")) {
                hwmonInputs_->push_back(
                    {*family, chip + "/temp" + std::to_string(input) + "_input", chip + "/device"});
            }
        }
    }
    FamilyMeans hwmon;
    for (const HwmonInput& input : *hwmonInputs_) {
        const auto celsius = readCelsius(input.file, input.device);
        if (celsius && *celsius > 0 && *celsius <= 150) {
            hwmon.add(input.family, *celsius);
        }
    }
    // Whichever source answers for either family answers for both.
    if (!hwmon.empty()) {
        hwmon.store(reading);
        return;
    }
    FamilyMeans zones;
    const std::string classDir = options_.root + "/class/thermal";
    for (const unsigned number : sysfs::numberedEntries(classDir, "thermal_zone")) {
        const std::string zone = classDir + "/thermal_zone" + std::to_string(number);
        const auto type = readFirstLine(zone + "/type");
        const auto family = type ? classify(kThermalZones, asciiLowercase(*type)) : std::nullopt;
        if (!family) {
            continue;
        }
        const auto celsius = readCelsius(zone + "/temp", zone + "/device");
        if (celsius && *celsius > 0 && *celsius < 150) {
            zones.add(*family, *celsius);
        }
    }
    zones.store(reading);
}

} // namespace korvel::platform::sensors
