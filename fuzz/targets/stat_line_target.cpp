#include "fuzz/fuzz_targets.h"
#include "platform/proc/stat_line.h"

namespace korvel::fuzz {

std::string statLine(std::string_view input) {
    const auto line = platform::proc::parseStatLine(input);
    if (!line) {
        return {};
    }
    if (line->comm.data() < input.data() ||
        line->comm.data() + line->comm.size() > input.data() + input.size()) {
        return "the name points outside the text";
    }
    return {};
}

} // namespace korvel::fuzz
