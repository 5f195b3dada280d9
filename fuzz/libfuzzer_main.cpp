// The libFuzzer entry of one target, named at compile time by KORVEL_FUZZ_TARGET.

#include "fuzz/fuzz_targets.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const korvel::fuzz::FuzzTarget& target() {
    static const korvel::fuzz::FuzzTarget* found = korvel::fuzz::findFuzzTarget(KORVEL_FUZZ_TARGET);
    if (found == nullptr) {
        std::abort();
    }
    return *found;
}

} // namespace

// Gives the target's own input length limit unless the command line sets one.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    for (int i = 1; i < *argc; ++i) {
        if (std::strncmp((*argv)[i], "-max_len=", 9) == 0) {
            return 0;
        }
    }
    static std::string maxLength = "-max_len=" + std::to_string(target().maxLength);
    static char** extended = new char*[static_cast<size_t>(*argc) + 2];
    for (int i = 0; i < *argc; ++i) {
        extended[i] = (*argv)[i];
    }
    // Options go before the corpus folders, which libFuzzer takes in order.
    for (int i = *argc; i > 1; --i) {
        extended[i] = extended[i - 1];
    }
    extended[1] = maxLength.data();
    extended[*argc + 1] = nullptr;
    *argc += 1;
    *argv = extended;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string broken =
        target().entry(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!broken.empty()) {
        std::fprintf(stderr, "%s: %s\n", KORVEL_FUZZ_TARGET, broken.c_str());
        std::abort();
    }
    return 0;
}
