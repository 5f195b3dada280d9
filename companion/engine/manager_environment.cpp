#include "companion/engine/manager_environment.h"

#include "companion/link/advanced_snapshot.h"
#include "companion/link/xpc_helper_client.h"
#include "companion/sampling/primary_ip_address.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/system/meminfo.h"

namespace korvel {

ManagerEnvironment ManagerEnvironment::live() {
    ManagerEnvironment env;
    env.dispatch = &platform::liveDispatch();
    env.notifications = &platform::NotificationCenter::defaultCenter();
    env.defaults = &platform::UserDefaults::standard();
    env.fetchData = [](bool showSystem, std::function<void(HelperResponse)> completion) {
        XPCHelperClient::shared()->fetchData(showSystem, std::move(completion));
    };
    env.writeAdvancedSnapshot = [](const HelperResponse& response) {
        korvel::writeAdvancedSnapshot(response);
    };
    env.removeAdvancedSnapshot = [] { korvel::removeAdvancedSnapshot(); };
    env.sampleCPU = [](const std::optional<CPUTicks>& previous) {
        return korvel::sampleCPU(previous);
    };
    env.readLocalSystemFigures = [] { return korvel::readLocalSystemFigures(); };
    env.processorCount = platform::processorCount();
    env.primaryIPAddress = [](const std::string& name) { return korvel::primaryIPAddress(name); };
    env.liveTrafficSources = LiveTrafficSources::live();
    env.makePathMonitor = [] { return std::make_unique<platform::netpath::PathMonitor>(); };
    return env;
}

} // namespace korvel
