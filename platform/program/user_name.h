#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::platform {

// The login name of a user id from the password database, remembered per
// process (names do not change under a running program); no value when the
// id has no entry, as inside a container.
std::optional<std::string> userName(uint32_t uid);

} // namespace korvel::platform
