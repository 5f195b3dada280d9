#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::hid {

inline constexpr uint32_t kVendorUsagePage = 0xFF00;
inline constexpr uint32_t kTemperatureSensorUsage = 5;
inline constexpr int64_t kTemperatureEventType = 15;
inline constexpr uint32_t kTemperatureLevelField = 15u << 16;
inline constexpr const char* kProductProperty = "Product";

// One event copied from a service.
class HIDEvent {
public:
    virtual ~HIDEvent() = default;
    // 0 for a field the event does not carry.
    virtual double floatValue(uint32_t field) const = 0;
};

// One sensor service of the event system.
class HIDServiceClient {
public:
    virtual ~HIDServiceClient() = default;
    virtual bool conformsTo(uint32_t usagePage, uint32_t usage) const = 0;
    // No value when the property is absent or not a string.
    virtual std::optional<std::string> copyStringProperty(const std::string& key) const = 0;
    // Null when the service has no current event of that type.
    virtual std::unique_ptr<HIDEvent> copyEvent(int64_t type) const = 0;
};

using HIDServiceList = std::vector<std::unique_ptr<HIDServiceClient>>;

class HIDEventSystemClient {
public:
    virtual ~HIDEventSystemClient() = default;
    // No value when the services cannot be listed.
    virtual std::optional<HIDServiceList> copyServices() = 0;
};

class HIDEventSystem {
public:
    virtual ~HIDEventSystem() = default;
    // Null when no client can be made.
    virtual std::unique_ptr<HIDEventSystemClient> createSimpleClient() = 0;
};

} // namespace korvel::platform::hid
