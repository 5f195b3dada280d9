#pragma once

#include "platform/hid/hid_event_system.h"

#include <string>
#include <string_view>

namespace korvel::platform::hid {

enum class ThermalZoneFamily { cpu, gpu, other };

// The family of a thermal zone, from its type attribute.
ThermalZoneFamily thermalZoneFamily(std::string_view zoneType);

// Temperature services over the kernel's thermal zones. Each CPU zone is a
// service whose product name is "PMU tdie<N>", each GPU zone one named
// "PMU TP<N>g" (N = the zone number); zones of other kinds are not offered, so
// a request never pays for reading them. The temperature event is read from the
// zone when it is copied.
class ThermalZoneEventSystem : public HIDEventSystem {
public:
    explicit ThermalZoneEventSystem(std::string sysRoot);

    std::unique_ptr<HIDEventSystemClient> createSimpleClient() override;

private:
    std::string sysRoot_;
};

} // namespace korvel::platform::hid
