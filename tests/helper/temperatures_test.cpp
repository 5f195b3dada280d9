#include "helper/temperatures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvel {
namespace {

namespace hid = platform::hid;

struct FakeSensor {
    std::optional<std::string> product;
    std::optional<double> value; // no value: no event
    bool conforms = true;
};

// A service whose event is a copy of itself.
struct FakeService : hid::HIDServiceClient, hid::HIDEvent {
    explicit FakeService(FakeSensor s) : sensor(std::move(s)) {}
    bool conformsTo(uint32_t page, uint32_t usage) const override {
        return sensor.conforms && page == hid::kVendorUsagePage &&
               usage == hid::kTemperatureSensorUsage;
    }
    std::optional<std::string> copyStringProperty(const std::string& key) const override {
        return key == hid::kProductProperty ? sensor.product : std::nullopt;
    }
    std::unique_ptr<hid::HIDEvent> copyEvent(int64_t type) const override {
        if (type != hid::kTemperatureEventType || !sensor.value) {
            return nullptr;
        }
        return std::make_unique<FakeService>(*this);
    }
    double floatValue(uint32_t field) const override {
        return field == hid::kTemperatureLevelField ? *sensor.value : 0;
    }
    FakeSensor sensor;
};

// The event system is its own client, copied when one is asked for.
struct FakeHID : hid::HIDEventSystem, hid::HIDEventSystemClient {
    std::unique_ptr<hid::HIDEventSystemClient> createSimpleClient() override {
        ++clients;
        return std::make_unique<FakeHID>(*this);
    }
    std::optional<hid::HIDServiceList> copyServices() override {
        if (!sensors) {
            return std::nullopt;
        }
        hid::HIDServiceList services;
        for (const FakeSensor& sensor : *sensors) {
            services.push_back(std::make_unique<FakeService>(sensor));
        }
        return services;
    }
    // No list: the services cannot be copied.
    std::optional<std::vector<FakeSensor>> sensors = std::vector<FakeSensor>{};
    int clients = 0;
};

// A controller reader answering fixed means, as QNReadSMCTemperatures would.
TemperatureCollector::SMCReader smcAnswering(double cpu, double gpu) {
    return [cpu, gpu](double* cpuOut, double* gpuOut) {
        *cpuOut = cpu;
        *gpuOut = gpu;
        return cpu > 0 || gpu > 0 ? 1 : 0;
    };
}

TEST(TemperatureCollector, AControllerReadingExcludesTheHIDSource) {
    FakeHID hid;
    hid.sensors = {{"PMU TP1g", 70.0}};
    const Temperatures t = TemperatureCollector(smcAnswering(55, 0), hid).readTemperatures();
    EXPECT_EQ(t.cpu, 55.0);
    EXPECT_FALSE(t.gpu) << "no GPU member, even though a HID sensor has one";
    const Temperatures g = TemperatureCollector(smcAnswering(0, 48.5), hid).readTemperatures();
    EXPECT_FALSE(g.cpu);
    EXPECT_EQ(g.gpu, 48.5);
    EXPECT_EQ(hid.clients, 0);
}

TEST(TemperatureCollector, OtherwiseHIDSensorsByProductName) {
    FakeHID hid;
    TemperatureCollector collector(smcAnswering(0, 0), hid);
    Temperatures t = collector.readTemperatures();
    EXPECT_FALSE(t.cpu || t.gpu);
    hid.sensors = {{"PMU tdie1", 40.0}};
    t = collector.readTemperatures();
    EXPECT_EQ(t.cpu, 40.0);
    EXPECT_FALSE(t.gpu) << "only the side with a sensor has a member";
    hid.sensors.reset();
    t = collector.readTemperatures();
    EXPECT_FALSE(t.cpu || t.gpu);

    hid.sensors = {
        {"PMU tdie1", 40.0},
        {"PMU tdie2", 50.0},
        {"PMU tdie3", 150.0}, // out of range: the HID source excludes 150
        {"PMU tdie4", std::numeric_limits<double>::quiet_NaN()},
        {"PMU tdie5", std::numeric_limits<double>::infinity()},
        {"PMU tdie6", 0.0},
        {"PMU tdie7", -3.0},
        {"PMU tdie8", 99.0, false},  // not a temperature service
        {std::nullopt, 99.0},        // no product name
        {"PMU tdie9", std::nullopt}, // no event
        {"PMU TP1g", 60.0},
        {"PMU TP2g", 64.0},
        {"PMU TP3x", 99.0},  // neither
        {"PMU tcal", 99.0},  // neither
        {"pmu tdie1", 99.0}, // neither: names are case-sensitive
        {"PMU TPg", 149.5},  // GPU: begins with "PMU TP", ends with g
    };
    t = collector.readTemperatures();
    EXPECT_EQ(t.cpu, 45.0);
    ASSERT_TRUE(t.gpu);
    EXPECT_DOUBLE_EQ(*t.gpu, (60.0 + 64.0 + 149.5) / 3);
    EXPECT_EQ(hid.clients, 4);
}

} // namespace
} // namespace korvel
