#pragma once

#include <optional>
#include <string>

namespace korvel::platform::desktop {

// The real path (symlinks resolved) of the executable regular file a desktop
// entry names: an absolute path as it is, a bare name through searchPath (a
// PATH-style list). Relative paths with a slash are not resolved.
std::optional<std::string> resolveProgram(const std::string& program,
                                          const std::string& searchPath);

} // namespace korvel::platform::desktop
