#include "platform/smc/hwmon_smc_driver.h"

#include "platform/system/sysfs_entries.h"
#include "platform/system/text_file.h"

#include <array>
#include <cstring>
#include <vector>

namespace korvel::platform::smc {

namespace {

constexpr uint8_t kReadableAttribute = 0x80;
constexpr unsigned kKeysPerFamily = 36 * 36;
constexpr const char* kKeyCountName = "#KEY";

struct HwmonKey {
    uint32_t code = 0;
    std::string inputPath;
    std::string devicePath;
};

char base36Digit(unsigned value) {
    return static_cast<char>(value < 10 ? '0' + value : 'A' + (value - 10));
}

class HwmonConnection : public SMCConnection {
public:
    explicit HwmonConnection(std::vector<HwmonKey> keys) : keys_(std::move(keys)) {}

    bool callStructMethod(uint32_t selector, const SMCCallBlock& input,
                          SMCCallBlock& output) override {
        if (selector != kSMCCallSelector) {
            return false;
        }
        output = SMCCallBlock{};
        output.key = input.key;
        output.command = input.command;
        switch (input.command) {
        case kSMCCommandKeyInfo:
            keyInfo(input, output);
            break;
        case kSMCCommandReadKey:
            readKey(input, output);
            break;
        case kSMCCommandKeyAtIndex:
            if (input.index < keys_.size()) {
                output.key = keys_[input.index].code;
            } else {
                output.result = kSMCResultKeyNotFound;
            }
            break;
        default:
            output.result = kSMCResultBadCommand;
            break;
        }
        return true;
    }

private:
    const HwmonKey* find(uint32_t code) const {
        for (const HwmonKey& key : keys_) {
            if (key.code == code) {
                return &key;
            }
        }
        return nullptr;
    }

    void keyInfo(const SMCCallBlock& input, SMCCallBlock& output) const {
        output.dataSize = 4;
        output.dataAttributes = kReadableAttribute;
        if (input.key == *smcKeyCode(kKeyCountName)) {
            output.dataType = kSMCTypeUInt32;
        } else if (find(input.key) != nullptr) {
            output.dataType = kSMCTypeFloat;
        } else {
            output = SMCCallBlock{};
            output.key = input.key;
            output.command = input.command;
            output.result = kSMCResultKeyNotFound;
        }
    }

    void readKey(const SMCCallBlock& input, SMCCallBlock& output) const {
        if (input.key == *smcKeyCode(kKeyCountName)) {
            if (input.dataSize != 4) {
                output.result = kSMCResultBadArgument;
                return;
            }
            const auto count = static_cast<uint32_t>(keys_.size());
            const std::array<uint8_t, 4> bigEndian = {
                static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(count >> 16),
                static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
            std::memcpy(output.bytes, bigEndian.data(), bigEndian.size());
            output.dataSize = 4;
            return;
        }
        const HwmonKey* key = find(input.key);
        if (key == nullptr) {
            output.result = kSMCResultKeyNotFound;
            return;
        }
        if (input.dataSize != 4) {
            output.result = kSMCResultBadArgument;
            return;
        }
        // A suspended GPU would be woken by the read; report it as unreadable.
        if (!sysfs::deviceIsAwake(key->devicePath)) {
            output.result = kSMCResultReadFailed;
            return;
        }
        const auto milliCelsius = sysfs::readSigned(key->inputPath);
        if (!milliCelsius) {
            output.result = kSMCResultReadFailed;
            return;
        }
        const float celsius = static_cast<float>(static_cast<double>(*milliCelsius) / 1000.0);
        std::memcpy(output.bytes, &celsius, sizeof celsius);
        output.dataSize = 4;
    }

    std::vector<HwmonKey> keys_;
};

} // namespace

HwmonFamily hwmonChipFamily(std::string_view chipName) {
    static constexpr std::string_view cpuChips[] = {
        "coretemp", "k10temp", "k8temp", "zenpower", "via_cputemp", "cpu_thermal", "x86_pkg_temp"};
    static constexpr std::string_view gpuChips[] = {"amdgpu", "radeon", "nouveau",
                                                    "xe",     "i915",   "gpu_thermal"};
    for (const std::string_view name : cpuChips) {
        if (chipName == name) {
            return HwmonFamily::cpu;
        }
    }
    for (const std::string_view name : gpuChips) {
        if (chipName == name) {
            return HwmonFamily::gpu;
        }
    }
    // Thermal zones registered as hwmon chips keep their zone's name, with
    // dashes turned into underscores: cpu0_thermal, gpu1_thermal, ...
    if (chipName.ends_with("_thermal")) {
        if (chipName.starts_with("cpu")) {
            return HwmonFamily::cpu;
        }
        if (chipName.starts_with("gpu")) {
            return HwmonFamily::gpu;
        }
    }
    return HwmonFamily::other;
}

HwmonSMCDriver::HwmonSMCDriver(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}

std::unique_ptr<SMCConnection> HwmonSMCDriver::openKeysEndpoint() {
    const std::string classDir = sysRoot_ + "/class/hwmon";
    std::vector<HwmonKey> keys;
    unsigned cpuCount = 0;
    unsigned gpuCount = 0;
    for (const unsigned chip : sysfs::numberedEntries(classDir, "hwmon")) {
        const std::string chipDir = classDir + "/hwmon" + std::to_string(chip);
        const auto name = readFirstLine(chipDir + "/name");
        if (!name) {
            continue;
        }
        const HwmonFamily family = hwmonChipFamily(*name);
        if (family == HwmonFamily::other) {
            continue;
        }
        const char prefix = family == HwmonFamily::cpu ? 'p' : 'g';
        unsigned& count = family == HwmonFamily::cpu ? cpuCount : gpuCount;
        for (const unsigned input : sysfs::numberedEntries(chipDir, "temp", "_input")) {
            if (count == kKeysPerFamily) {
                break;
            }
            const char keyName[] = {'T', prefix, base36Digit(count / 36), base36Digit(count % 36)};
            ++count;
            keys.push_back({*smcKeyCode(std::string_view(keyName, 4)),
                            chipDir + "/temp" + std::to_string(input) + "_input",
                            chipDir + "/device"});
        }
    }
    if (keys.empty()) {
        return nullptr;
    }
    return std::make_unique<HwmonConnection>(std::move(keys));
}

} // namespace korvel::platform::smc
