#include "fuzz/fuzz_targets.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace korvel::fuzz {
namespace {

namespace fs = std::filesystem;

// Every seed and every input that once broke a target, run through the
// target as the fuzzer runs it.
TEST(FuzzInputsTest, KeptInputsHoldEveryProperty) {
    const fs::path root = fs::path(KORVEL_TEST_SOURCE_DIR) / "../fuzz";
    for (const auto& target : fuzzTargets()) {
        size_t inputs = 0;
        for (const char* kind : {"corpus", "regressions"}) {
            const fs::path folder = root / kind / target.name;
            if (!fs::is_directory(folder)) {
                continue;
            }
            for (const auto& file : fs::directory_iterator(folder)) {
                std::ifstream in(file.path(), std::ios::binary);
                const std::string input((std::istreambuf_iterator<char>(in)), {});
                EXPECT_EQ(target.entry(input), "") << file.path();
                ++inputs;
            }
        }
        EXPECT_GT(inputs, 0u) << target.name << " has no seeds";
    }
}

} // namespace
} // namespace korvel::fuzz
