#include "helper/temperatures.h"

#include "helper/sensor_context.h"

#include <cmath>
#include <numeric>
#include <vector>

namespace korvel {

namespace hid = platform::hid;

namespace {

std::optional<double> positive(double value) {
    return value > 0 ? std::optional<double>(value) : std::nullopt;
}

std::optional<double> mean(const std::vector<double>& values) {
    if (values.empty()) {
        return std::nullopt;
    }
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

} // namespace

TemperatureCollector::TemperatureCollector(SMCReader readSMCTemperatures, hid::HIDEventSystem& hid)
    : readSMCTemperatures_(std::move(readSMCTemperatures)), hid_(hid) {}

Temperatures TemperatureCollector::readTemperatures() {
    double cpu = 0;
    double gpu = 0;
    if (readSMCTemperatures_(&cpu, &gpu) != 0) {
        return {positive(cpu), positive(gpu)};
    }
    return readHIDTemperatures();
}

Temperatures TemperatureCollector::readHIDTemperatures() {
    const auto client = hid_.createSimpleClient();
    if (!client) {
        return {};
    }
    const auto services = client->copyServices();
    if (!services) {
        return {};
    }
    std::vector<double> cpu;
    std::vector<double> gpu;
    for (const auto& service : *services) {
        if (!service->conformsTo(hid::kVendorUsagePage, hid::kTemperatureSensorUsage)) {
            continue;
        }
        const auto product = service->copyStringProperty(hid::kProductProperty);
        if (!product) {
            continue;
        }
        const auto event = service->copyEvent(hid::kTemperatureEventType);
        if (!event) {
            continue;
        }
        const double value = event->floatValue(hid::kTemperatureLevelField);
        if (!std::isfinite(value) || value <= 0 || value >= 150) {
            continue;
        }
        if (product->starts_with("PMU tdie")) {
            cpu.push_back(value);
        } else if (product->starts_with("PMU TP") && product->ends_with("g")) {
            gpu.push_back(value);
        }
    }
    return {mean(cpu), mean(gpu)};
}

Temperatures readTemperatures() {
    return liveSensorContext().temperatures.readTemperatures();
}

} // namespace korvel
