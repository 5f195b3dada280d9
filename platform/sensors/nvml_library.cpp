#include "platform/sensors/nvml_library.h"

#include <dlfcn.h>

namespace korvel::platform::sensors {

namespace {

// The library's C interface, as far as it is used here.
using NvmlReturn = int;
constexpr NvmlReturn kNvmlSuccess = 0;
struct NvmlDevice;
struct NvmlUtilization {
    unsigned int gpu;
    unsigned int memory;
};

template <typename Function> bool resolve(void* handle, const char* name, Function& out) {
    void* symbol = ::dlsym(handle, name);
    out = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

} // namespace

struct NvmlLibrary::Functions {
    NvmlReturn (*init)() = nullptr;
    NvmlReturn (*shutdown)() = nullptr;
    NvmlReturn (*handleByPciBusId)(const char*, NvmlDevice**) = nullptr;
    NvmlReturn (*utilizationRates)(NvmlDevice*, NvmlUtilization*) = nullptr;
};

std::unique_ptr<NvmlLibrary> NvmlLibrary::open(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return nullptr;
    }
    auto functions = std::make_unique<Functions>();
    if (!resolve(handle, "nvmlInit_v2", functions->init) ||
        !resolve(handle, "nvmlShutdown", functions->shutdown) ||
        !resolve(handle, "nvmlDeviceGetHandleByPciBusId_v2", functions->handleByPciBusId) ||
        !resolve(handle, "nvmlDeviceGetUtilizationRates", functions->utilizationRates) ||
        functions->init() != kNvmlSuccess) {
        ::dlclose(handle);
        return nullptr;
    }
    return std::unique_ptr<NvmlLibrary>(new NvmlLibrary(handle, std::move(functions)));
}

NvmlLibrary::NvmlLibrary(void* handle, std::unique_ptr<Functions> functions)
    : handle_(handle), functions_(std::move(functions)) {}

NvmlLibrary::~NvmlLibrary() {
    functions_->shutdown();
    ::dlclose(handle_);
}

std::optional<unsigned> NvmlLibrary::busyPercent(const std::string& pciAddress) const {
    NvmlDevice* device = nullptr;
    NvmlUtilization rates{};
    if (functions_->handleByPciBusId(pciAddress.c_str(), &device) != kNvmlSuccess ||
        functions_->utilizationRates(device, &rates) != kNvmlSuccess) {
        return std::nullopt;
    }
    return rates.gpu;
}

} // namespace korvel::platform::sensors
