#include "platform/ioreport/nvml_counter.h"

#include "platform/system/sysfs_entries.h"

#include <dlfcn.h>

namespace korvel::platform::ioreport {

namespace {

// The library's C interface, as far as it is used here.
using NvmlReturn = int;
constexpr NvmlReturn kNvmlSuccess = 0;
struct NvmlDevice;
struct NvmlUtilization {
    unsigned int gpu;
    unsigned int memory;
};

} // namespace

struct NvmlSession::Functions {
    NvmlReturn (*init)() = nullptr;
    NvmlReturn (*shutdown)() = nullptr;
    NvmlReturn (*handleByPciBusId)(const char*, NvmlDevice**) = nullptr;
    NvmlReturn (*utilizationRates)(NvmlDevice*, NvmlUtilization*) = nullptr;
};

namespace {

template <typename Function> bool resolve(void* handle, const char* name, Function& out) {
    void* symbol = ::dlsym(handle, name);
    out = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

} // namespace

std::unique_ptr<NvmlSession> NvmlSession::load(const std::string& libraryPath) {
    void* handle = ::dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return nullptr;
    }
    auto functions = std::make_unique<Functions>();
    if (!resolve(handle, "nvmlInit_v2", functions->init) ||
        !resolve(handle, "nvmlShutdown", functions->shutdown) ||
        !resolve(handle, "nvmlDeviceGetHandleByPciBusId_v2", functions->handleByPciBusId) ||
        !resolve(handle, "nvmlDeviceGetUtilizationRates", functions->utilizationRates)) {
        ::dlclose(handle);
        return nullptr;
    }
    return std::unique_ptr<NvmlSession>(new NvmlSession(handle, std::move(functions)));
}

NvmlSession::NvmlSession(void* handle, std::unique_ptr<Functions> functions)
    : handle_(handle), functions_(std::move(functions)) {}

NvmlSession::~NvmlSession() {
    if (started_) {
        functions_->shutdown();
    }
    ::dlclose(handle_);
}

bool NvmlSession::start() {
    if (!started_) {
        started_ = functions_->init() == kNvmlSuccess;
    }
    return started_;
}

std::optional<unsigned> NvmlSession::utilization(const std::string& pciAddress) {
    if (!started_) {
        return std::nullopt;
    }
    NvmlDevice* device = nullptr;
    if (functions_->handleByPciBusId(pciAddress.c_str(), &device) != kNvmlSuccess) {
        return std::nullopt;
    }
    NvmlUtilization rates{};
    if (functions_->utilizationRates(device, &rates) != kNvmlSuccess) {
        return std::nullopt;
    }
    return rates.gpu;
}

NvmlCounter::NvmlCounter(std::shared_ptr<NvmlSession> session, std::string pciDeviceDir,
                         std::string pciAddress, MonotonicClock clock)
    : session_(std::move(session)), pciDeviceDir_(std::move(pciDeviceDir)),
      pciAddress_(std::move(pciAddress)), clock_(std::move(clock)) {}

std::optional<GPUCounterReading> NvmlCounter::read() {
    GPUCounterReading reading;
    reading.monotonicMicros = clock_();
    if (!sysfs::deviceIsAwake(pciDeviceDir_)) {
        reading.awake = false;
        return reading;
    }
    const auto percent = session_->utilization(pciAddress_);
    if (!percent) {
        return std::nullopt;
    }
    reading.values.push_back(*percent);
    return reading;
}

std::optional<std::vector<StateResidency>>
NvmlCounter::residencies(const GPUCounterReading& first, const GPUCounterReading& second) const {
    if (first.values.size() != 1 || second.values.size() != 1) {
        return std::nullopt;
    }
    return busyPercentResidencies(first.values[0], second.values[0]);
}

} // namespace korvel::platform::ioreport
