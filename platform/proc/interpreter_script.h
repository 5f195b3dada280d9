#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace korvel::platform::proc {

// Whether a program of this file name (no directory) runs a script it is
// handed: python3.11, node, ruby, perl, php, lua, java and the shells.
bool isInterpreter(std::string_view executable);

// What an interpreter of that file name runs, from its arguments (argv[0]
// first), its own options skipped: the script as its last path component
// ("sink.py"), the module (python -m), java's jar or main class. None for
// inline code, standard input, a bare prompt, and programs that are no
// interpreter. Points into the arguments.
std::optional<std::string_view> interpreterScript(std::string_view executable,
                                                  std::span<const std::string_view> argv);

} // namespace korvel::platform::proc
