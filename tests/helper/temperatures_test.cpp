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

class FakeHID : public hid::HIDEventSystem {
public:
    std::vector<FakeSensor> sensors;
    bool listable = true;
    int clients = 0;

    std::unique_ptr<hid::HIDEventSystemClient> createSimpleClient() override {
        ++clients;
        return std::make_unique<Client>(*this);
    }

private:
    class Event : public hid::HIDEvent {
    public:
        explicit Event(double value) : value_(value) {}
        double floatValue(uint32_t field) const override {
            return field == hid::kTemperatureLevelField ? value_ : 0;
        }

    private:
        double value_;
    };

    class Service : public hid::HIDServiceClient {
    public:
        explicit Service(FakeSensor sensor) : sensor_(std::move(sensor)) {}
        bool conformsTo(uint32_t page, uint32_t usage) const override {
            return sensor_.conforms && page == hid::kVendorUsagePage &&
                   usage == hid::kTemperatureSensorUsage;
        }
        std::optional<std::string> copyStringProperty(const std::string& key) const override {
            return key == hid::kProductProperty ? sensor_.product : std::nullopt;
        }
        std::unique_ptr<hid::HIDEvent> copyEvent(int64_t type) const override {
            if (type != hid::kTemperatureEventType || !sensor_.value) {
                return nullptr;
            }
            return std::make_unique<Event>(*sensor_.value);
        }

    private:
        FakeSensor sensor_;
    };

    class Client : public hid::HIDEventSystemClient {
    public:
        explicit Client(FakeHID& hid) : hid_(hid) {}
        std::optional<hid::HIDServiceList> copyServices() override {
            if (!hid_.listable) {
                return std::nullopt;
            }
            hid::HIDServiceList services;
            for (const FakeSensor& sensor : hid_.sensors) {
                services.push_back(std::make_unique<Service>(sensor));
            }
            return services;
        }

    private:
        FakeHID& hid_;
    };
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
    TemperatureCollector collector(smcAnswering(55, 0), hid);
    const Temperatures t = collector.readTemperatures();
    EXPECT_EQ(t.cpu, 55.0);
    EXPECT_FALSE(t.gpu) << "no GPU member, even though a HID sensor has one";
    EXPECT_EQ(hid.clients, 0);

    TemperatureCollector gpuOnly(smcAnswering(0, 48.5), hid);
    const Temperatures g = gpuOnly.readTemperatures();
    EXPECT_FALSE(g.cpu);
    EXPECT_EQ(g.gpu, 48.5);
    EXPECT_EQ(hid.clients, 0);
}

TEST(TemperatureCollector, HIDSensorsByProductName) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    FakeHID hid;
    hid.sensors = {
        {"PMU tdie1", 40.0},         {"PMU tdie2", 50.0},
        {"PMU tdie3", 150.0},        // out of range: the HID source excludes 150
        {"PMU tdie4", nan},          //
        {"PMU tdie5", inf},          //
        {"PMU tdie6", 0.0},          //
        {"PMU tdie7", -3.0},         //
        {"PMU tdie8", 99.0, false},  // not a temperature service
        {std::nullopt, 99.0},        // no product name
        {"PMU tdie9", std::nullopt}, // no event
        {"PMU TP1g", 60.0},          // GPU
        {"PMU TP2g", 64.0},          // GPU
        {"PMU TP3x", 99.0},          // neither
        {"PMU tcal", 99.0},          // neither
        {"pmu tdie1", 99.0},         // neither: names are case-sensitive
        {"PMU TPg", 149.5},          // GPU: begins with "PMU TP", ends with g
    };
    TemperatureCollector collector(smcAnswering(0, 0), hid);
    const Temperatures t = collector.readTemperatures();
    EXPECT_EQ(t.cpu, 45.0);
    ASSERT_TRUE(t.gpu);
    EXPECT_DOUBLE_EQ(*t.gpu, (60.0 + 64.0 + 149.5) / 3);
    EXPECT_EQ(hid.clients, 1);
}

TEST(TemperatureCollector, NoUsableSensorsNoMembers) {
    FakeHID hid;
    TemperatureCollector collector(smcAnswering(0, 0), hid);
    Temperatures t = collector.readTemperatures();
    EXPECT_FALSE(t.cpu);
    EXPECT_FALSE(t.gpu);

    hid.sensors = {{"PMU tdie1", 40.0}};
    hid.listable = false;
    t = collector.readTemperatures();
    EXPECT_FALSE(t.cpu);
    EXPECT_FALSE(t.gpu);

    // Only one side has a sensor: only that side has a member.
    hid.listable = true;
    t = collector.readTemperatures();
    EXPECT_EQ(t.cpu, 40.0);
    EXPECT_FALSE(t.gpu);
}

} // namespace
} // namespace korvel
