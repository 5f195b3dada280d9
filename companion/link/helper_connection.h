#pragma once

#include "platform/service/connection.h"

#include <memory>

namespace korvel {

// A connection to the helper service, started from the program's own bundle
// (see bundledExecutable) when nobody serves it yet; an empty
// serviceExecutable in the options means the bundled helper.
std::shared_ptr<platform::service::Connection>
makeHelperConnection(platform::service::ConnectionOptions options = {});

} // namespace korvel
