#pragma once

#include "platform/smc/smc_driver.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

struct SMCKeyInfo {
    uint32_t dataSize = 0;
    uint32_t dataType = 0;
    uint32_t attributes = 0;
};

struct SMCValue {
    uint32_t dataType = 0;
    std::vector<uint8_t> bytes;
};

// The CPU and GPU temperature keys of the sensor controller. The keys are
// discovered once per sensor, on first use; values are read on every call.
class SMCTemperatureSensor {
public:
    explicit SMCTemperatureSensor(platform::smc::SMCDriver& driver);

    // Stores the mean CPU and GPU temperatures through the pointers that are not
    // null; non-zero when at least one stored mean is greater than 0.
    int readTemperatures(double* cpu, double* gpu);

    // The discovered key lists (runs the discovery if it has not run yet).
    const std::vector<std::string>& cpuKeys();
    const std::vector<std::string>& gpuKeys();

private:
    void discoverKeys();
    bool call(const platform::smc::SMCCallBlock& input, platform::smc::SMCCallBlock& output);
    std::optional<SMCKeyInfo> readKeyInfo(const std::string& name);
    std::optional<SMCValue> readKey(const std::string& name);
    double meanTemperature(const std::vector<std::string>& keys);

    platform::smc::SMCDriver& driver_;
    std::once_flag discovery_;
    std::unique_ptr<platform::smc::SMCConnection> connection_;
    std::vector<std::string> cpuKeys_;
    std::vector<std::string> gpuKeys_;
};

} // namespace korvel

// The live sensor controller of this machine.
extern "C" int QNReadSMCTemperatures(double* cpu, double* gpu);
