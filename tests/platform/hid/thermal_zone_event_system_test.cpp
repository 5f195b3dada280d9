#include "platform/hid/thermal_zone_event_system.h"

#include "tests/support/sysfs_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace korvel::platform::hid {
namespace {

using testing::SysfsTree;

// Product name -> value at the temperature field (no value: no event).
std::map<std::string, std::optional<double>> readAll(HIDEventSystem& system) {
    std::map<std::string, std::optional<double>> readings;
    auto client = system.createSimpleClient();
    EXPECT_TRUE(client);
    auto services = client->copyServices();
    EXPECT_TRUE(services);
    for (const auto& service : *services) {
        EXPECT_TRUE(service->conformsTo(kVendorUsagePage, kTemperatureSensorUsage));
        EXPECT_FALSE(service->conformsTo(kVendorUsagePage, 6));
        EXPECT_FALSE(service->copyStringProperty("Manufacturer"));
        const auto product = service->copyStringProperty(kProductProperty);
        EXPECT_TRUE(product);
        EXPECT_FALSE(service->copyEvent(kTemperatureEventType + 1));
        const auto event = service->copyEvent(kTemperatureEventType);
        readings[*product] =
            event ? std::optional<double>(event->floatValue(kTemperatureLevelField)) : std::nullopt;
        if (event) {
            EXPECT_EQ(event->floatValue(kTemperatureLevelField + 1), 0.0);
        }
    }
    return readings;
}

TEST(ThermalZoneEventSystem, OffersCPUAndGPUZonesUnderTheirProductNamesLeavingSleepersAlone) {
    SysfsTree sys;
    EXPECT_FALSE(ThermalZoneEventSystem(sys.str()).createSimpleClient()->copyServices())
        << "no list without the thermal class";
    sys.thermalZone(0, "acpitz", "27800");
    sys.thermalZone(1, "x86_pkg_temp", "52000");
    sys.thermalZone(2, "gpu-thermal", "43500");
    sys.thermalZone(12, "cpu1-thermal", "-1000");
    sys.thermalZone(13, "cpu2-thermal", nullptr);
    // A zone whose parent device sleeps is left alone.
    sys.thermalZone(3, "gpu-thermal", "43000");
    sys.pciDevice("0000:01:00.0", "suspended", "class/thermal/thermal_zone3/device");
    sys.write("class/thermal/cooling_device0/type", "Processor\n");

    ThermalZoneEventSystem system(sys.str());
    const auto readings = readAll(system);
    const std::map<std::string, std::optional<double>> expected = {{"PMU tdie1", 52.0},
                                                                   {"PMU TP2g", 43.5},
                                                                   {"PMU tdie12", -1.0},
                                                                   {"PMU tdie13", std::nullopt},
                                                                   {"PMU TP3g", std::nullopt}};
    EXPECT_EQ(readings, expected);
    sys.write("devices/pci0000:00/0000:01:00.0/power/runtime_status", "active\n");
    EXPECT_EQ(readAll(system).at("PMU TP3g"), 43.0);
}

} // namespace
} // namespace korvel::platform::hid
