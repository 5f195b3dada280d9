#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform {

// The variable that points a private program elsewhere while developing:
// KORVEL_HELPER_PATH for "korvel-helper".
std::string executableOverrideVariable(std::string_view name);

// A private program of this install (the helper, ...): the override variable
// when it holds an absolute path; else <running program's directory>/
// ../libexec/korvel/<name> when installed; else <that directory>/<name>, as
// in a build tree. No value when none is found: a bare name would be looked
// up in the working directory, which may hold anything.
std::optional<std::string> bundledExecutable(std::string_view name);

// The same lookup from a given running program (no value: unknown) and
// override value (null: unset).
std::optional<std::string> bundledExecutable(std::string_view name,
                                             const std::optional<std::string>& runningProgram,
                                             const char* overridePath);

} // namespace korvel::platform
