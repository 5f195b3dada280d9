#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The user's home directory: $HOME when it is an absolute path, else the
// password database entry of the real user. No value when neither is known.
std::optional<std::string> homeDirectory();

} // namespace korvel::platform
