#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The directory shared by the programs of one application group:
// <runtime directory>/<group> (see runtimeDirectory: private to the user,
// gone at logout). No value when there is no runtime directory of ours that
// nobody else may write to (see directoryOwnership), or
// the group identifier could not be a single directory name. Nothing is
// created here.
std::optional<std::string> sharedRuntimeDirectory(const std::string& groupIdentifier);

} // namespace korvel::platform
