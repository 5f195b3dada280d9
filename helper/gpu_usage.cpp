#include "helper/gpu_usage.h"

#include "helper/sensor_context.h"
#include "platform/system/child_process.h"
#include "shared/utf8.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <regex>

namespace korvel {

namespace {

constexpr double kPowermetricsWindowSeconds = 2.0;
constexpr std::string_view kResidencyLabel = "GPU HW active residency:";
// std::regex recurses once per character it matches, so a match attempt sees
// at most this much text: a real report's line is far shorter, and an endless
// run of blanks or digits must not exhaust the stack.
constexpr size_t kResidencyMatchWindow = 4096;

std::optional<int64_t> parseDecimalInteger(const std::string& text) {
    std::string_view digits = text;
    const bool negative = digits.starts_with('-');
    if (negative || digits.starts_with('+')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
    int64_t value = 0;
    const char* end = signedDigits.data() + signedDigits.size();
    const auto [ptr, ec] = std::from_chars(signedDigits.data(), end, value);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<double> parsePowermetricsGPUResidency(std::string_view output) {
    static const std::regex pattern(R"(GPU HW active residency:\s*([0-9]+(?:\.[0-9]+)?)%)");
    for (size_t at = output.find(kResidencyLabel); at != std::string_view::npos;
         at = output.find(kResidencyLabel, at + 1)) {
        const std::string_view window = output.substr(at, kResidencyMatchWindow);
        std::match_results<std::string_view::const_iterator> match;
        if (!std::regex_search(window.begin(), window.end(), match, pattern,
                               std::regex_constants::match_continuous)) {
            continue;
        }
        if (!match[1].matched || match[1].length() == 0) {
            return std::nullopt;
        }
        const std::string text = match[1].str();
        double value = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || ptr != text.data() + text.size() || value < 0 || value > 100) {
            return std::nullopt;
        }
        return value;
    }
    return std::nullopt;
}

std::optional<int64_t> parseSystemProfilerGPUCores(std::string_view output) {
    const nlohmann::json document = nlohmann::json::parse(output, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return std::nullopt;
    }
    const auto displays = document.find("SPDisplaysDataType");
    if (displays == document.end() || !displays->is_array()) {
        return std::nullopt;
    }
    for (const nlohmann::json& entry : *displays) {
        if (!entry.is_object()) {
            return std::nullopt;
        }
    }
    for (const nlohmann::json& entry : *displays) {
        const auto type = entry.find("sppci_device_type");
        const auto cores = entry.find("sppci_cores");
        if (type == entry.end() || !type->is_string() || *type != "spdisplays_gpu" ||
            cores == entry.end() || !cores->is_string()) {
            continue;
        }
        if (const auto count = parseDecimalInteger(cores->get<std::string>())) {
            return count;
        }
    }
    return std::nullopt;
}

GPUCollector::GPUCollector(UsageReader readGPUUsagePercent, GPUToolPaths tools, Clock now)
    : readGPUUsagePercent_(std::move(readGPUUsagePercent)), tools_(std::move(tools)),
      now_(std::move(now)) {}

std::optional<double> GPUCollector::readGPUUsage() {
    double percent = 0;
    if (readGPUUsagePercent_(&percent) != 0 && percent > 0) {
        return percent;
    }
    const double now = now_();
    // A clock set back must not make a stale value look fresh.
    const double age = now - powermetricsTime_;
    if (powermetricsValue_ && age >= 0 && age <= kPowermetricsWindowSeconds) {
        return powermetricsValue_;
    }
    const auto run = platform::runChildProcess(tools_.powermetrics,
                                               {"--samplers", "gpu_power", "-i", "250", "-n", "1"});
    if (!run || !run->succeeded() || !isValidUtf8(run->standardOutput)) {
        return powermetricsValue_;
    }
    const auto parsed = parsePowermetricsGPUResidency(run->standardOutput);
    if (!parsed) {
        return powermetricsValue_;
    }
    powermetricsValue_ = parsed;
    powermetricsTime_ = now;
    return parsed;
}

std::optional<int64_t> GPUCollector::readGPUCoreCount() {
    if (gpuCoreCountComputed_) {
        return gpuCoreCount_;
    }
    std::optional<int64_t> count;
    const auto run = platform::runChildProcess(
        tools_.systemProfiler, {"SPDisplaysDataType", "-json", "-detailLevel", "mini"});
    if (run && run->succeeded()) {
        count = parseSystemProfilerGPUCores(run->standardOutput);
    }
    gpuCoreCountComputed_ = true;
    gpuCoreCount_ = count;
    return count;
}

std::optional<double> readGPUUsage() {
    return liveSensorContext().gpu.readGPUUsage();
}

std::optional<int64_t> readGPUCoreCount() {
    return liveSensorContext().gpu.readGPUCoreCount();
}

} // namespace korvel
