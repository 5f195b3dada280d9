#include "companion/engine/manager_environment.h"

#include "companion/link/advanced_snapshot.h"
#include "companion/link/helper_client.h"
#include "companion/sampling/icon_cache.h"
#include "companion/sampling/primary_ip_address.h"
#include "companion/sampling/running_applications.h"
#include "platform/defaults/user_defaults.h"
#include "platform/desktop/application_registry.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/system/meminfo.h"
#include "platform/system/roots.h"

namespace korvel {

ManagerEnvironment ManagerEnvironment::live() {
    ManagerEnvironment env;
    env.dispatch = &platform::liveDispatch();
    env.notifications = &platform::NotificationCenter::forThisProcess();
    env.defaults = &platform::UserDefaults::companion();
    env.fetchData = [](bool showSystem, std::function<void(HelperResponse)> completion) {
        HelperClient::shared()->fetchData(showSystem, std::move(completion));
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
    // The index is read in the background; until it is, the rules fall
    // through to path names and generic icons.
    platform::desktop::ApplicationRegistry::shared();
    env.runningApplications = [](const std::vector<HelperProcessData>& processes) {
        return korvel::runningApplications(processes,
                                           platform::desktop::ApplicationRegistry::shared());
    };
    env.iconForExecutablePath = [](const std::string& path) -> std::optional<ProcessIcon> {
        return *IconCache::shared().iconForExecutablePath(path);
    };
    env.primaryIPAddress = [](const std::string& name) { return korvel::primaryIPAddress(name); };
    env.liveTrafficSources = LiveTrafficSources::live();
    env.linkFacts = [](const std::string& name) {
        return platform::netpath::linkFactsFromSysfs(platform::kLiveSysRoot, name);
    };
    env.makePathMonitor = [] { return std::make_unique<platform::netpath::PathMonitor>(); };
    // One reply in flight at most: replies queued behind a slow merge would
    // each hold a reading (megabytes) until the main loop drops them as stale.
    env.oneRequestAtATime = true;
    return env;
}

} // namespace korvel
