#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The directory shared by the programs of one application group:
// $XDG_RUNTIME_DIR/<group> (private to the user, gone at logout). No value
// when the runtime directory is not set to an absolute path or the group
// identifier could not be a single directory name. Nothing is created here.
std::optional<std::string> appGroupContainer(const std::string& groupIdentifier);

} // namespace korvel::platform
