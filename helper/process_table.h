#pragma once

#include "shared/helper_response.h"

#include <vector>

namespace korvel {

// Every process the kernel lists (system ones only with showSystem), appending
// each kept process's sockets to connections in the same order.
std::vector<HelperProcessData> collectProcessTable(bool showSystem,
                                                   std::vector<HelperConnectionData>& connections);

} // namespace korvel
