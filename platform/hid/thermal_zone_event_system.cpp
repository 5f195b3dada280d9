#include "platform/hid/thermal_zone_event_system.h"

#include "platform/system/sysfs_entries.h"
#include "platform/system/text_file.h"

#include <cctype>

namespace korvel::platform::hid {

namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

class TemperatureEvent : public HIDEvent {
public:
    explicit TemperatureEvent(double celsius) : celsius_(celsius) {}
    double floatValue(uint32_t field) const override {
        return field == kTemperatureLevelField ? celsius_ : 0.0;
    }

private:
    double celsius_;
};

class ThermalZoneService : public HIDServiceClient {
public:
    ThermalZoneService(std::string zoneDir, std::string product)
        : zoneDir_(std::move(zoneDir)), product_(std::move(product)) {}

    bool conformsTo(uint32_t usagePage, uint32_t usage) const override {
        return usagePage == kVendorUsagePage && usage == kTemperatureSensorUsage;
    }

    std::optional<std::string> copyStringProperty(const std::string& key) const override {
        if (key == kProductProperty) {
            return product_;
        }
        return std::nullopt;
    }

    std::unique_ptr<HIDEvent> copyEvent(int64_t type) const override {
        if (type != kTemperatureEventType || !sysfs::deviceIsAwake(zoneDir_ + "/device")) {
            return nullptr;
        }
        const auto milliCelsius = sysfs::readSigned(zoneDir_ + "/temp");
        if (!milliCelsius) {
            return nullptr;
        }
        return std::make_unique<TemperatureEvent>(static_cast<double>(*milliCelsius) / 1000.0);
    }

private:
    std::string zoneDir_;
    std::string product_;
};

class ThermalZoneClient : public HIDEventSystemClient {
public:
    explicit ThermalZoneClient(std::string classDir) : classDir_(std::move(classDir)) {}

    std::optional<HIDServiceList> copyServices() override {
        if (!sysfs::pathExists(classDir_)) {
            return std::nullopt;
        }
        HIDServiceList services;
        for (const unsigned zone : sysfs::numberedEntries(classDir_, "thermal_zone")) {
            const std::string zoneDir = classDir_ + "/thermal_zone" + std::to_string(zone);
            const auto type = readFirstLine(zoneDir + "/type");
            if (!type) {
                continue;
            }
            switch (thermalZoneFamily(*type)) {
            case ThermalZoneFamily::cpu:
                services.push_back(std::make_unique<ThermalZoneService>(
                    zoneDir, "PMU tdie" + std::to_string(zone)));
                break;
            case ThermalZoneFamily::gpu:
                services.push_back(std::make_unique<ThermalZoneService>(
                    zoneDir, "PMU TP" + std::to_string(zone) + "g"));
                break;
            case ThermalZoneFamily::other:
                break;
            }
        }
        return services;
    }

private:
    std::string classDir_;
};

} // namespace

ThermalZoneFamily thermalZoneFamily(std::string_view zoneType) {
    // x86_pkg_temp is the package sensor; TCPU and B0D4 are the firmware's names
    // for the processor's own thermal device.
    if (zoneType == "x86_pkg_temp" || zoneType == "TCPU" || zoneType == "B0D4" ||
        startsWithIgnoringCase(zoneType, "cpu")) {
        return ThermalZoneFamily::cpu;
    }
    if (startsWithIgnoringCase(zoneType, "gpu")) {
        return ThermalZoneFamily::gpu;
    }
    return ThermalZoneFamily::other;
}

ThermalZoneEventSystem::ThermalZoneEventSystem(std::string sysRoot)
    : sysRoot_(std::move(sysRoot)) {}

std::unique_ptr<HIDEventSystemClient> ThermalZoneEventSystem::createSimpleClient() {
    return std::make_unique<ThermalZoneClient>(sysRoot_ + "/class/thermal");
}

} // namespace korvel::platform::hid
