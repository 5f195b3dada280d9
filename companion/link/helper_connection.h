#pragma once

#include "platform/xpc/connection.h"

#include <memory>

namespace korvel {

// A connection to the helper service, started from the program's own bundle
// (the directory of this executable) when nobody serves it yet.
std::shared_ptr<platform::xpc::Connection> makeHelperConnection();

} // namespace korvel
