#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::top {

struct TopOptions {
    bool once = false;                   // one plain-text frame after two readings
    bool json = false;                   // the model as JSON after two readings
    std::optional<double> refreshPeriod; // -d SECONDS
    std::optional<int64_t> at;           // --at TIME: a recorded moment, Unix seconds
    bool help = false;                   // --help: the usage, and nothing else
};

// No value, with the reason in `error`, for arguments top does not take.
std::optional<TopOptions> parseTopOptions(const std::vector<std::string_view>& args,
                                          std::string& error);

// `korvel-companion top`: the full-screen view on a terminal, or with --once
// or --json one reading printed for scripts; with --at a recorded moment
// instead. 2 without a terminal for the full-screen view or on a bad
// argument, 1 without a history for --at, 0 otherwise.
int runTopCommand(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err);

} // namespace korvel::top
