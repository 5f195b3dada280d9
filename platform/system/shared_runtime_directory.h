#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The directory shared by the programs of one application group:
// $XDG_RUNTIME_DIR/<group> (private to the user, gone at logout). No value
// when the runtime directory is not an absolute path to an existing
// directory of ours that nobody else may write to (see directoryOwnership), or
// the group identifier could not be a single directory name. Nothing is
// created here.
std::optional<std::string> sharedRuntimeDirectory(const std::string& groupIdentifier);

} // namespace korvel::platform
