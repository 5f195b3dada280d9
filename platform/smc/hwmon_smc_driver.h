#pragma once

#include "platform/smc/smc_driver.h"

#include <string>
#include <string_view>

namespace korvel::platform::smc {

enum class HwmonFamily { cpu, gpu, other };

// The sensor family of an hwmon chip, from its name attribute.
HwmonFamily hwmonChipFamily(std::string_view chipName);

// The keys endpoint over the kernel's hwmon chips. Every temperature input of a
// CPU chip becomes a key "TpXY", every one of a GPU chip a key "TgXY" (XY counts
// up in base 36), all of type "flt " and size 4, valued in degrees Celsius. "#KEY"
// holds the number of keys, big-endian, as type "ui32". Chips of other kinds are
// not listed. The chips are listed when the endpoint is opened; values are read
// from the chip on every read command.
class HwmonSMCDriver : public SMCDriver {
public:
    explicit HwmonSMCDriver(std::string sysRoot);

    // Null when no chip of either family has a temperature input.
    std::unique_ptr<SMCConnection> openKeysEndpoint() override;

private:
    std::string sysRoot_;
};

} // namespace korvel::platform::smc
