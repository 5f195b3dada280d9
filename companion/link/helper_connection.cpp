#include "companion/link/helper_connection.h"

#include "platform/program/install_layout.h"
#include "shared/helper_protocol.h"

namespace korvel {

std::shared_ptr<platform::service::Connection>
makeHelperConnection(platform::service::ConnectionOptions options) {
    if (options.serviceExecutable.empty()) {
        options.serviceExecutable = platform::bundledExecutable("korvel-helper").value_or("");
    }
    return platform::service::Connection::create(kHelperServiceName, std::move(options));
}

} // namespace korvel
