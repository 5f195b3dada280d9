#include "platform/system/cpu_load.h"

#include "platform/system/text_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace korvel::platform {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view nextField(std::string_view& text) {
    const size_t start = std::min(text.find_first_not_of(kBlanks), text.size());
    const size_t end = std::min(text.find_first_of(kBlanks, start), text.size());
    const std::string_view field = text.substr(start, end - start);
    text.remove_prefix(end);
    return field;
}

std::optional<std::string_view> aggregateCPULine(std::string_view text) {
    while (!text.empty()) {
        const auto lineEnd = text.find('\n');
        const std::string_view line = text.substr(0, lineEnd);
        if (line.size() > 3 && line.starts_with("cpu") &&
            kBlanks.find(line[3]) != std::string_view::npos) {
            return line.substr(3);
        }
        if (lineEnd == std::string_view::npos) {
            break;
        }
        text.remove_prefix(lineEnd + 1);
    }
    return std::nullopt;
}

} // namespace

std::optional<CPULoadTicks> parseCPULoadTicks(std::string_view procStat) {
    auto line = aggregateCPULine(procStat);
    if (!line) {
        return std::nullopt;
    }
    // user nice system idle iowait irq softirq steal guest guest_nice; older
    // kernels stop after idle.
    std::vector<uint64_t> fields;
    for (std::string_view field = nextField(*line); !field.empty(); field = nextField(*line)) {
        uint64_t value = 0;
        if (!parseWhole(field, value)) {
            return std::nullopt;
        }
        fields.push_back(value);
    }
    if (fields.size() < 4) {
        return std::nullopt;
    }
    fields.resize(std::max<size_t>(fields.size(), 7), 0);
    const uint64_t user = fields[0];
    const uint64_t nice = fields[1];
    const uint64_t system = fields[2] + fields[5] + fields[6];
    const uint64_t idle = fields[3] + fields[4];
    return CPULoadTicks{static_cast<uint32_t>(user), static_cast<uint32_t>(system),
                        static_cast<uint32_t>(idle), static_cast<uint32_t>(nice)};
}

std::optional<CPULoadTicks> readCPULoadTicks(const std::string& procRoot) {
    const auto text = readTextFile(procRoot + "/stat");
    if (!text) {
        return std::nullopt;
    }
    return parseCPULoadTicks(*text);
}

namespace {

std::optional<double> parseLoadField(std::string_view field) {
    double value = 0;
    const auto [ptr, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || ec != std::errc() || ptr != field.data() + field.size() ||
        !std::isfinite(value) || value < 0) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::array<double, 3>> parseLoadAverages(std::string_view loadavg) {
    std::string_view rest = loadavg;
    std::array<double, 3> averages{};
    for (double& average : averages) {
        const auto value = parseLoadField(nextField(rest));
        if (!value) {
            return std::nullopt;
        }
        average = *value;
    }
    return averages;
}

std::optional<std::array<double, 3>> readLoadAverages(const std::string& procRoot) {
    const auto text = readFirstLine(procRoot + "/loadavg");
    return text ? parseLoadAverages(*text) : std::nullopt;
}

} // namespace korvel::platform
