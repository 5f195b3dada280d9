#include "platform/ioreport/devfreq_counter.h"

#include "platform/system/text_file.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace korvel::platform::ioreport {

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

template <typename Number> std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// One row: optional '*' (the current point), frequency, ':', the transition
// counts, and the time in milliseconds last.
std::optional<FrequencyTime> parseRow(std::string_view line) {
    line = trimmed(line);
    if (line.starts_with('*')) {
        line.remove_prefix(1);
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto frequency = parseNumber<uint64_t>(trimmed(line.substr(0, colon)));
    const std::string_view rest = trimmed(line.substr(colon + 1));
    const auto lastSpace = rest.find_last_of(" \t");
    const auto millis = parseNumber<int64_t>(
        lastSpace == std::string_view::npos ? rest : rest.substr(lastSpace + 1));
    if (!frequency || !millis) {
        return std::nullopt;
    }
    return FrequencyTime{*frequency, *millis};
}

} // namespace

std::vector<FrequencyTime> parseTransStat(std::string_view text) {
    std::vector<FrequencyTime> rows;
    while (!text.empty()) {
        const auto end = text.find('\n');
        if (auto row = parseRow(text.substr(0, end))) {
            rows.push_back(*row);
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return rows;
}

DevfreqCounter::DevfreqCounter(std::string deviceDir, MonotonicClock clock)
    : deviceDir_(std::move(deviceDir)), clock_(std::move(clock)) {}

bool DevfreqCounter::isGPU(std::string_view deviceName) {
    std::string lower(deviceName);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("gpu") != std::string::npos || lower.find("mali") != std::string::npos ||
           lower.find("kgsl") != std::string::npos;
}

std::optional<GPUCounterReading> DevfreqCounter::read() {
    GPUCounterReading reading;
    reading.monotonicMicros = clock_();
    const auto text = readTextFile(deviceDir_ + "/trans_stat");
    if (!text) {
        return std::nullopt;
    }
    std::vector<FrequencyTime> rows = parseTransStat(*text);
    if (rows.empty()) {
        return std::nullopt;
    }
    std::sort(rows.begin(), rows.end(), [](const FrequencyTime& a, const FrequencyTime& b) {
        return a.frequency < b.frequency;
    });
    std::vector<uint64_t> frequencies;
    for (const FrequencyTime& row : rows) {
        frequencies.push_back(row.frequency);
        reading.values.push_back(row.millis);
    }
    if (frequencies_.empty()) {
        frequencies_ = frequencies;
    } else if (frequencies != frequencies_) {
        return std::nullopt;
    }
    return reading;
}

std::optional<std::vector<StateResidency>>
DevfreqCounter::residencies(const GPUCounterReading& first, const GPUCounterReading& second) const {
    if (first.values.size() != frequencies_.size() || second.values.size() != frequencies_.size()) {
        return std::nullopt;
    }
    std::vector<StateResidency> states;
    for (size_t i = 0; i < frequencies_.size(); ++i) {
        const int64_t delta = second.values[i] - first.values[i];
        // The table was reset between the readings.
        if (delta < 0) {
            return std::nullopt;
        }
        states.push_back({i == 0 ? std::string("IDLE") : "P" + std::to_string(i), delta});
    }
    return states;
}

} // namespace korvel::platform::ioreport
