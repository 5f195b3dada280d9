#pragma once

#include "shared/helper_response.h"

#include <optional>
#include <string>

namespace korvel {

// One complete reading of the machine, collectors called in their fixed order.
HelperResponse assembleHelperResponse(bool showSystem);

// The reply bytes for one request: the encoded reading, or no value (nil)
// when it cannot be encoded.
std::optional<std::string> fetchReply(bool showSystem);

} // namespace korvel
