#pragma once

#include "platform/hid/hid_event_system.h"

#include <functional>
#include <optional>

namespace korvel {

struct Temperatures {
    std::optional<double> cpu;
    std::optional<double> gpu;
};

// Mean CPU and GPU temperatures from exactly one source per request: the sensor
// controller, or the HID temperature services when the controller yields nothing.
class TemperatureCollector {
public:
    // The controller's reader: the contract of QNReadSMCTemperatures.
    using SMCReader = std::function<int(double*, double*)>;

    TemperatureCollector(SMCReader readSMCTemperatures, platform::hid::HIDEventSystem& hid);

    Temperatures readTemperatures();

private:
    Temperatures readHIDTemperatures();

    SMCReader readSMCTemperatures_;
    platform::hid::HIDEventSystem& hid_;
};

// The live collector of this process.
Temperatures readTemperatures();

} // namespace korvel
