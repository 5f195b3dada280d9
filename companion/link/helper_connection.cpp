#include "companion/link/helper_connection.h"

#include "platform/xpc/service_launcher.h"
#include "shared/helper_protocol.h"

namespace korvel {

std::shared_ptr<platform::xpc::Connection> makeHelperConnection() {
    platform::xpc::ConnectionOptions options;
    options.serviceExecutable = platform::xpc::bundledExecutable("korvel-helper");
    return platform::xpc::Connection::create(kHelperServiceName, std::move(options));
}

} // namespace korvel
