#include "platform/proc/usage_files.h"

#include <charconv>

namespace korvel::platform::proc {
namespace {

// "key: value rest" lines, one at a time.
template <typename Visit> void forEachLine(std::string_view text, const Visit& visit) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        visit(line.substr(0, colon), value);
    }
}

// The leading number of a value, and what follows it; no value when none.
std::optional<uint64_t> leadingNumber(std::string_view value, std::string_view& unit) {
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc()) {
        return std::nullopt;
    }
    unit = value.substr(static_cast<size_t>(end - value.data()));
    while (!unit.empty() && unit.front() == ' ') {
        unit.remove_prefix(1);
    }
    return number;
}

// A memory figure in bytes: the kernel writes bytes, KiB or MiB.
std::optional<uint64_t> memoryBytes(std::string_view value) {
    std::string_view unit;
    const auto number = leadingNumber(value, unit);
    if (!number) {
        return std::nullopt;
    }
    const uint64_t scale = unit == "KiB" ? 1024 : unit == "MiB" ? 1024 * 1024 : 1;
    return *number > UINT64_MAX / scale ? UINT64_MAX : *number * scale;
}

} // namespace

std::optional<DrmClient> parseDrmFdinfo(std::string_view text) {
    DrmClient client;
    bool named = false;
    std::string driver;
    // Which family of memory keys the total came from: resident, total, memory.
    uint64_t memory[3] = {};
    bool seen[3] = {};
    forEachLine(text, [&](std::string_view key, std::string_view value) {
        std::string_view unit;
        if (key == "drm-client-id") {
            const auto id = leadingNumber(value, unit);
            named = id.has_value();
            client.clientId = id.value_or(0);
        } else if (key == "drm-pdev") {
            client.device = value;
        } else if (key == "drm-driver") {
            driver = value;
        } else if (key.starts_with("drm-engine-") && !key.starts_with("drm-engine-capacity-")) {
            const auto ns = leadingNumber(value, unit);
            if (ns && unit == "ns") {
                client.engineNS.emplace_back(key.substr(11), *ns);
            }
        } else {
            const std::string_view families[3] = {"drm-resident-", "drm-total-", "drm-memory-"};
            for (size_t i = 0; i < 3; ++i) {
                if (key.starts_with(families[i])) {
                    if (const auto bytes = memoryBytes(value)) {
                        memory[i] =
                            *bytes > UINT64_MAX - memory[i] ? UINT64_MAX : memory[i] + *bytes;
                        seen[i] = true;
                    }
                }
            }
        }
    });
    if (!named) {
        return std::nullopt;
    }
    if (client.device.empty()) {
        client.device = driver;
    }
    for (size_t i = 0; i < 3; ++i) {
        if (seen[i]) {
            client.memoryBytes = memory[i];
            break;
        }
    }
    return client;
}

std::optional<IoCounters> parseProcIo(std::string_view text) {
    std::optional<uint64_t> read, write, cancelled;
    forEachLine(text, [&](std::string_view key, std::string_view value) {
        std::string_view rest;
        if (key == "read_bytes") {
            read = leadingNumber(value, rest);
        } else if (key == "write_bytes") {
            write = leadingNumber(value, rest);
        } else if (key == "cancelled_write_bytes") {
            cancelled = leadingNumber(value, rest);
        }
    });
    if (!read || !write) {
        return std::nullopt;
    }
    const uint64_t taken = cancelled.value_or(0);
    return IoCounters{*read, *write > taken ? *write - taken : 0};
}

} // namespace korvel::platform::proc
