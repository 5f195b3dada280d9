#include "fuzz/fuzz_targets.h"
#include "platform/defaults/user_defaults.h"
#include "tests/support/virtual_dispatch.h"

#include <filesystem>

namespace korvel::fuzz {

// The input is the settings file. It is read as the engine and `defaults read`
// read it, then one key is written: a file that read as an object must keep
// every one of its settings through that write.
std::string defaultsFile(std::string_view input) {
    static testing::VirtualDispatch dispatch;
    const std::string directory = scratchDirectory() + "/defaults";
    const std::string path = directory + "/defaults.json";
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    std::filesystem::create_directory(directory, ignored);
    if (!writeScratchFile(path, input)) {
        return {};
    }

    nlohmann::json before;
    {
        platform::UserDefaults defaults("fuzz.domain", path, dispatch);
        before = defaults.dictionary();
        if (!before.is_object()) {
            return "the settings read as something other than an object";
        }
        (void)before.dump();
        defaults.integerFor("autoRefreshInterval", 5);
        defaults.boolFor("trafficEnabled", true);
        defaults.stringFor("menuBarMetric", "cpu");
        defaults.doubleFor("x", 0);
        if (defaults.fileIsDamaged() || !defaults.set("fuzzSentinel", 1)) {
            return {};
        }
    }
    platform::UserDefaults reread("fuzz.domain", path, dispatch);
    nlohmann::json after = reread.dictionary();
    if (after.value("fuzzSentinel", 0) != 1) {
        return "a written setting did not survive";
    }
    after.erase("fuzzSentinel");
    before.erase("fuzzSentinel");
    if (after != before) {
        return "writing one setting lost or changed others";
    }
    return {};
}

} // namespace korvel::fuzz
