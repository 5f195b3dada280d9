#pragma once

#include <iosfwd>
#include <string_view>
#include <vector>

namespace korvel::top {

// `korvel-companion top`: the full-screen view on a terminal, or with --once
// or --json one reading printed for scripts; with --at a recorded moment
// instead. 2 without a terminal for the full-screen view or on a bad
// argument, 1 without a history for --at, 0 otherwise.
int runTopCommand(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err);

} // namespace korvel::top
