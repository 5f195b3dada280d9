#pragma once

#include <iosfwd>
#include <memory>
#include <string_view>
#include <vector>

namespace korvel::platform::service {
class Connection;
}

namespace korvel {

// `korvel-companion fetch [--show-system]`: one request, the reply on out;
// args are the words after "fetch". Returns the process exit status: 0, 1
// when no valid reply came, 2 for a usage error.
int runFetchCommand(const std::vector<std::string_view>& args, std::ostream& out,
                    std::ostream& err);
int runFetchCommand(const std::shared_ptr<platform::service::Connection>& connection,
                    bool showSystem, std::ostream& out, std::ostream& err);

} // namespace korvel
