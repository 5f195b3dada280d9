#include "companion/link/helper_connection.h"

#include "platform/system/install_layout.h"
#include "shared/helper_protocol.h"

namespace korvel {

std::shared_ptr<platform::xpc::Connection> makeHelperConnection() {
    return makeHelperConnection(platform::xpc::ConnectionOptions{});
}

std::shared_ptr<platform::xpc::Connection>
makeHelperConnection(platform::xpc::ConnectionOptions options) {
    if (options.serviceExecutable.empty()) {
        options.serviceExecutable = platform::bundledExecutable("korvel-helper").value_or("");
    }
    return platform::xpc::Connection::create(kHelperServiceName, std::move(options));
}

} // namespace korvel
