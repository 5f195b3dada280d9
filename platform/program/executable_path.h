#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The absolute path of the program this process runs, symlinks resolved. No
// value when the kernel does not say. A binary replaced on disk since it
// started (a rebuild) is named by its path, where the new one now lies.
std::optional<std::string> runningExecutablePath();

} // namespace korvel::platform
