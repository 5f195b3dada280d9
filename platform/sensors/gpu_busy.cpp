#include "platform/program/ascii_text.h"
#include "platform/sensors/nvml_library.h"
#include "platform/sensors/sensors.h"
#include "platform/system/sysfs_entries.h"
#include "platform/system/text_file.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>

namespace korvel::platform::sensors {

namespace {

enum class CounterKind {
    busyPercent, // the driver's busy share at the moment of reading
    nvml,        // the same, asked of NVIDIA's library by PCI address
    idleMillis,  // time spent idle (Intel RC6), against the time that passed
    timeInState, // devfreq time at each operating point; the lowest is where an idle GPU parks
};

bool isDrmCard(std::string_view entry) {
    return entry.size() > 4 && entry.starts_with("card") &&
           entry.find_first_not_of("0123456789", 4) == std::string_view::npos;
}

bool isPciAddress(std::string_view entry) {
    return entry.find(':') != std::string_view::npos && entry.find('.') != std::string_view::npos;
}

bool isDevfreqGpu(std::string_view entry) {
    const std::string lower = asciiLowercase(entry);
    return lower.find("gpu") != std::string::npos || lower.find("mali") != std::string::npos ||
           lower.find("kgsl") != std::string::npos;
}

struct CounterSource {
    CounterKind kind;
    std::string_view directory; // below the root; its entries that pass isGpu are GPUs
    bool (*isGpu)(std::string_view entry);
    // The device a read would wake, below the entry ("." the entry itself);
    // empty when the counter is kept by the kernel and the read wakes nothing.
    std::string_view device;
    std::array<std::string_view, 3> files; // the first present is the counter
};

// Where each GPU's own load counter lives, in the order GPUs are preferred.
constexpr CounterSource kCounterSources[] = {
    {CounterKind::busyPercent, "class/drm", isDrmCard, "device", {"device/gpu_busy_percent"}},
    {CounterKind::idleMillis,
     "class/drm",
     isDrmCard,
     "device",
     {"power/rc6_residency_ms", "gt/gt0/rc6_residency_ms",
      "device/tile0/gt0/gtidle/idle_residency_ms"}},
    {CounterKind::nvml, "bus/pci/drivers/nvidia", isPciAddress, ".", {}},
    {CounterKind::timeInState, "class/devfreq", isDevfreqGpu, "", {"trans_stat"}},
};

struct Counter {
    CounterKind kind;
    std::string file; // the counter's attribute; for NVML the GPU's PCI address
    std::string device;
};

std::vector<Counter> listCounters(const std::string& root) {
    std::vector<Counter> counters;
    for (const CounterSource& source : kCounterSources) {
        const std::string directory = root + "/" + std::string(source.directory);
        for (const std::string& entry : sysfs::entryNames(directory)) {
            if (!source.isGpu(entry)) {
                continue;
            }
            const std::string entryDir = directory + "/" + entry;
            const std::string device =
                source.device.empty() ? "" : entryDir + "/" + std::string(source.device);
            if (source.kind == CounterKind::nvml) {
                counters.push_back({source.kind, entry, device});
                continue;
            }
            for (const std::string_view file : source.files) {
                const std::string path = entryDir + "/" + std::string(file);
                if (!file.empty() && sysfs::pathExists(path)) {
                    counters.push_back({source.kind, path, device});
                    break;
                }
            }
        }
    }
    return counters;
}

struct FrequencyTime {
    uint64_t frequency = 0;
    int64_t millis = 0;
};

std::string_view trimmed(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// The time-in-state table of a devfreq trans_stat file, in file order: each
// row is an optional '*' (the current point), the frequency, ':', the
// transition counts and the milliseconds last. Empty when the text holds no
// table (the kernel writes "Not Supported." for large ones).
std::vector<FrequencyTime> parseTransStat(std::string_view text) {
    std::vector<FrequencyTime> rows;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.starts_with('*')) {
            line.remove_prefix(1);
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view rest = trimmed(line.substr(colon + 1));
        const auto lastBlank = rest.find_last_of(" \t");
        const auto frequency = wholeNumber<uint64_t>(trimmed(line.substr(0, colon)));
        const auto millis = wholeNumber<int64_t>(
            lastBlank == std::string_view::npos ? rest : rest.substr(lastBlank + 1));
        if (frequency && millis) {
            rows.push_back({*frequency, *millis});
        }
    }
    return rows;
}

struct Reading {
    int64_t value = 0;
    std::vector<FrequencyTime> table; // time in state, by ascending frequency
};

std::optional<Reading> readCounter(const Counter& counter, const NvmlLibrary* nvml) {
    if (!counter.device.empty() && !sysfs::deviceIsAwake(counter.device)) {
        return std::nullopt;
    }
    Reading reading;
    if (counter.kind == CounterKind::nvml) {
        const auto percent = nvml ? nvml->busyPercent(counter.file) : std::nullopt;
        if (!percent) {
            return std::nullopt;
        }
        reading.value = *percent;
    } else if (counter.kind == CounterKind::timeInState) {
        const auto text = readTextFile(counter.file);
        reading.table = parseTransStat(text.value_or(""));
        if (reading.table.empty()) {
            return std::nullopt;
        }
        std::ranges::sort(reading.table, {}, &FrequencyTime::frequency);
    } else {
        const auto value = sysfs::readSigned(counter.file);
        if (!value) {
            return std::nullopt;
        }
        reading.value = *value;
    }
    return reading;
}

bool anyAwakeNvidiaGpu(const std::vector<Counter>& counters) {
    return std::any_of(counters.begin(), counters.end(), [](const Counter& counter) {
        return counter.kind == CounterKind::nvml && sysfs::deviceIsAwake(counter.device);
    });
}

using Readings = std::map<std::string, Reading>; // by counter file, for NVML by PCI address

Readings readCounters(const std::vector<Counter>& counters, const NvmlLibrary* nvml) {
    Readings readings;
    for (const Counter& counter : counters) {
        if (auto reading = readCounter(counter, nvml)) {
            readings.emplace(counter.file, std::move(*reading));
        }
    }
    return readings;
}

// The driver's own busy share; none when out of range.
std::optional<double> reportedShare(const Reading& reading) {
    if (reading.value < 0 || reading.value > 100) {
        return std::nullopt;
    }
    return static_cast<double>(reading.value);
}

// The part of the elapsed time not spent idle; none when the counter went back.
std::optional<double> idleMillisShare(const Reading& earlier, const Reading& later,
                                      Microseconds elapsed) {
    const int64_t idle = (later.value - earlier.value) * 1000;
    if (idle < 0 || elapsed.count() <= 0) {
        return std::nullopt;
    }
    // The counter's millisecond steps can overshoot a short interval.
    const int64_t busy = std::max<int64_t>(elapsed.count() - idle, 0);
    return static_cast<double>(busy) / static_cast<double>(elapsed.count()) * 100.0;
}

// The part of the time spent above the lowest operating point; none when the
// table changed or its statistics were reset.
std::optional<double> timeInStateShare(const Reading& earlier, const Reading& later) {
    if (earlier.table.size() != later.table.size()) {
        return std::nullopt;
    }
    double busy = 0;
    double total = 0;
    for (size_t i = 0; i < earlier.table.size(); ++i) {
        const int64_t spent = later.table[i].millis - earlier.table[i].millis;
        if (earlier.table[i].frequency != later.table[i].frequency || spent < 0) {
            return std::nullopt;
        }
        total += static_cast<double>(spent);
        busy += i == 0 ? 0.0 : static_cast<double>(spent);
    }
    if (total <= 0) {
        return std::nullopt;
    }
    return busy / total * 100.0;
}

// A cumulative counter gives a share only against an earlier reading.
std::optional<double> busyShare(CounterKind kind, const Reading& current, const Reading* earlier,
                                Microseconds elapsed) {
    switch (kind) {
    case CounterKind::busyPercent:
    case CounterKind::nvml:
        return reportedShare(current);
    case CounterKind::idleMillis:
        return earlier ? idleMillisShare(*earlier, current, elapsed) : std::nullopt;
    case CounterKind::timeInState:
        return earlier ? timeInStateShare(*earlier, current) : std::nullopt;
    }
    return std::nullopt;
}

// The share of the first counter, in preference order, that gives one.
std::optional<double> firstShare(const std::vector<Counter>& counters, const Readings& current,
                                 const Readings& previous, Microseconds elapsed) {
    for (const Counter& counter : counters) {
        const auto now = current.find(counter.file);
        if (now == current.end()) {
            continue;
        }
        const auto before = previous.find(counter.file);
        const Reading* earlier = before == previous.end() ? nullptr : &before->second;
        if (const auto share = busyShare(counter.kind, now->second, earlier, elapsed)) {
            return share;
        }
    }
    return std::nullopt;
}

} // namespace

// What the counters said at the previous call, and NVIDIA's library once opened.
struct GpuCounterState {
    Microseconds readAt{};
    Readings readings;
    bool nvmlTried = false;
    std::unique_ptr<NvmlLibrary> nvml;
};

Sensors::Sensors(SensorOptions options)
    : options_(std::move(options)), gpu_(std::make_unique<GpuCounterState>()) {}

Sensors::~Sensors() = default;

std::optional<double> Sensors::readGpuBusyPercent() {
    const std::vector<Counter> counters = listCounters(options_.root);
    // Starting a session powers NVIDIA GPUs up, so it waits for an awake one;
    // then it stays open instead of being started for every request.
    if (!gpu_->nvmlTried && anyAwakeNvidiaGpu(counters)) {
        gpu_->nvmlTried = true;
        gpu_->nvml = NvmlLibrary::open(options_.nvmlLibrary);
    }
    const Microseconds now = options_.now();
    Readings readings = readCounters(counters, gpu_->nvml.get());
    const auto share = firstShare(counters, readings, gpu_->readings, now - gpu_->readAt);
    // Only this call's readings are kept: a counter that was asleep or gone starts afresh.
    gpu_->readings = std::move(readings);
    gpu_->readAt = now;
    return share && *share > 0 ? share : std::nullopt;
}

} // namespace korvel::platform::sensors
