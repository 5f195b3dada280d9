#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::platform {

// The login name of a uid from the user database, remembered per process
// (names do not change under a running program). No value for a uid the
// database does not know, as inside a container.
std::optional<std::string> userNameOf(uint32_t uid);

} // namespace korvel::platform
