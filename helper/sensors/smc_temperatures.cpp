#include "helper/sensors/smc_temperatures.h"

#include "helper/sensor_context.h"

#include <cstring>

namespace korvel {

using platform::smc::SMCCallBlock;

SMCTemperatureSensor::SMCTemperatureSensor(platform::smc::SMCDriver& driver) : driver_(driver) {}

bool SMCTemperatureSensor::call(const SMCCallBlock& input, SMCCallBlock& output) {
    output = SMCCallBlock{};
    return connection_->callStructMethod(platform::smc::kSMCCallSelector, input, output) &&
           output.result == platform::smc::kSMCResultSuccess;
}

std::optional<SMCKeyInfo> SMCTemperatureSensor::readKeyInfo(const std::string& name) {
    const auto code = platform::smc::smcKeyCode(name);
    if (!code) {
        return std::nullopt;
    }
    SMCCallBlock input;
    input.key = *code;
    input.command = platform::smc::kSMCCommandKeyInfo;
    SMCCallBlock output;
    if (!call(input, output)) {
        return std::nullopt;
    }
    return SMCKeyInfo{output.dataSize, output.dataType, output.dataAttributes};
}

std::optional<SMCValue> SMCTemperatureSensor::readKey(const std::string& name) {
    const auto code = platform::smc::smcKeyCode(name);
    if (!code) {
        return std::nullopt;
    }
    const auto info = readKeyInfo(name);
    // A value larger than the block's value field cannot be carried.
    if (!info || info->dataSize > sizeof(SMCCallBlock::bytes)) {
        return std::nullopt;
    }
    SMCCallBlock input;
    input.key = *code;
    input.dataSize = info->dataSize;
    input.dataType = info->dataType;
    input.dataAttributes = static_cast<uint8_t>(info->attributes);
    input.command = platform::smc::kSMCCommandReadKey;
    SMCCallBlock output;
    if (!call(input, output)) {
        return std::nullopt;
    }
    return SMCValue{info->dataType,
                    std::vector<uint8_t>(output.bytes, output.bytes + info->dataSize)};
}

void SMCTemperatureSensor::discoverKeys() {
    if (!connection_) {
        connection_ = driver_.openKeysEndpoint();
        if (!connection_) {
            return;
        }
    }
    const auto count = readKey("#KEY");
    if (!count || count->bytes.size() < 4) {
        return;
    }
    const uint32_t keyCount = (uint32_t{count->bytes[0]} << 24) |
                              (uint32_t{count->bytes[1]} << 16) | (uint32_t{count->bytes[2]} << 8) |
                              uint32_t{count->bytes[3]};
    std::vector<std::string> cpuKeys;
    std::vector<std::string> gpuKeys;
    for (uint32_t index = 0; index < keyCount; ++index) {
        SMCCallBlock input;
        input.command = platform::smc::kSMCCommandKeyAtIndex;
        input.index = index;
        SMCCallBlock output;
        if (!call(input, output)) {
            continue;
        }
        const std::string name = platform::smc::smcKeyName(output.key);
        if (name.size() != 4) {
            continue;
        }
        const auto info = readKeyInfo(name);
        if (!info || info->dataSize != 4 || info->dataType != platform::smc::kSMCTypeFloat) {
            continue;
        }
        if (name.starts_with("Tp") || name.starts_with("Te") || name.starts_with("Ts")) {
            cpuKeys.push_back(name);
        } else if (name.starts_with("Tg")) {
            gpuKeys.push_back(name);
        }
    }
    cpuKeys_ = std::move(cpuKeys);
    gpuKeys_ = std::move(gpuKeys);
}

double SMCTemperatureSensor::meanTemperature(const std::vector<std::string>& keys) {
    if (keys.empty() || !connection_) {
        return 0;
    }
    double sum = 0;
    int used = 0;
    for (const std::string& key : keys) {
        const auto value = readKey(key);
        if (!value || value->bytes.size() != 4) {
            continue;
        }
        float celsius = 0;
        std::memcpy(&celsius, value->bytes.data(), sizeof celsius);
        if (celsius > 0 && celsius <= 150) {
            sum += celsius;
            ++used;
        }
    }
    return used == 0 ? 0 : sum / used;
}

const std::vector<std::string>& SMCTemperatureSensor::cpuKeys() {
    std::call_once(discovery_, [this] { discoverKeys(); });
    return cpuKeys_;
}

const std::vector<std::string>& SMCTemperatureSensor::gpuKeys() {
    std::call_once(discovery_, [this] { discoverKeys(); });
    return gpuKeys_;
}

int SMCTemperatureSensor::readTemperatures(double* cpu, double* gpu) {
    std::call_once(discovery_, [this] { discoverKeys(); });
    if (cpu == nullptr && gpu == nullptr) {
        return 0;
    }
    bool anyPositive = false;
    if (cpu != nullptr) {
        *cpu = meanTemperature(cpuKeys_);
        anyPositive = *cpu > 0;
    }
    if (gpu != nullptr) {
        *gpu = meanTemperature(gpuKeys_);
        anyPositive = anyPositive || *gpu > 0;
    }
    return anyPositive ? 1 : 0;
}

} // namespace korvel

extern "C" int QNReadSMCTemperatures(double* cpu, double* gpu) {
    return korvel::liveSensorContext().smc.readTemperatures(cpu, gpu);
}
