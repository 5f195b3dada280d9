#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::platform {

// The login name of a user id from the password database; no value when the
// id has no entry.
std::optional<std::string> userName(uint32_t uid);

} // namespace korvel::platform
