#include "helper/process_table.h"

namespace korvel {

std::vector<HelperProcessData> collectProcessTable(bool /*showSystem*/,
                                                   std::vector<HelperConnectionData>& /*connections*/) {
    // Placeholder until the /proc reader lands: no measurement.
    return {};
}

} // namespace korvel
