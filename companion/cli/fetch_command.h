#pragma once

#include <iosfwd>
#include <memory>

namespace korvel::platform::xpc {
class Connection;
}

namespace korvel {

// `korvel-companion fetch [--show-system]`: one request, the reply on out.
// Returns the process exit status.
int runFetchCommand(bool showSystem, std::ostream& out, std::ostream& err);
int runFetchCommand(const std::shared_ptr<platform::xpc::Connection>& connection, bool showSystem,
                    std::ostream& out, std::ostream& err);

} // namespace korvel
