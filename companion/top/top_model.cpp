#include "companion/top/top_model.h"

#include "companion/engine/korvel_manager.h"
#include "companion/model/history.h"
#include "companion/sampling/interface_family.h"
#include "companion/sampling/interface_selection.h"

#include <algorithm>
#include <functional>
#include <iterator>

namespace korvel::top {
namespace {

// Appends each interface's rates, kept as long as the engine's traffic
// histories, and drops histories of interfaces gone.
void recordInterfaceRates(InterfaceHistories& histories, const std::vector<InterfaceStat>& rows) {
    InterfaceHistories next;
    for (const InterfaceStat& row : rows) {
        InterfaceHistory& history = next[row.id];
        if (auto old = histories.find(row.id); old != histories.end()) {
            history = std::move(old->second);
        }
        appendHistorySample(history.rateIn, row.rateIn, kTrafficHistoryRule);
        appendHistorySample(history.rateOut, row.rateOut, kTrafficHistoryRule);
    }
    histories = std::move(next);
}

// Traffic through veth pairs and bridges is shown, after the monitored
// interfaces with traffic and before the quiet ones, but never counted.
std::vector<InterfaceStat> withActiveVirtualInterfaces(std::vector<InterfaceStat> monitored,
                                                       const std::vector<InterfaceStat>& all) {
    std::vector<InterfaceStat> virtuals;
    std::ranges::copy_if(all, std::back_inserter(virtuals), [](const InterfaceStat& row) {
        return familyOf(row) == InterfaceFamily::virtualInterface && isActiveInterface(row);
    });
    std::ranges::stable_sort(virtuals, std::greater<>{},
                             [](const InterfaceStat& row) { return row.rateIn + row.rateOut; });
    const auto quiet = std::ranges::find_if_not(monitored, isActiveInterface);
    monitored.insert(quiet, virtuals.begin(), virtuals.end());
    return monitored;
}

} // namespace

TopModel makeTopModel(const KorvelManager& manager, const TopModel& previous, double now,
                      const std::function<std::string(uint32_t)>& userName) {
    TopModel model;
    model.time = now;
    model.readings = previous.readings + 1;
    model.helperAvailable = manager.dataMode.get() == DataAcquisitionMode::helperFull;
    model.system = manager.systemStats.get();
    model.cpuHistory = manager.cpuHistory.get();
    model.interfaces =
        withActiveVirtualInterfaces(manager.interfaceStats.get(), manager.allInterfaceStats.get());
    model.interfaceHistories = previous.interfaceHistories;
    recordInterfaceRates(model.interfaceHistories, manager.allInterfaceStats.get());
    model.path = manager.networkPath.get();
    model.session = manager.sessionStats.get();
    model.otherTcp = manager.otherTcpRate.get();
    model.processes = manager.processes.get();
    model.recentlyClosed = manager.recentlyClosedByPID.get();
    model.userNames = previous.userNames;
    for (const NetProcess& process : model.processes) {
        if (process.uid && !model.userNames.contains(*process.uid)) {
            model.userNames.emplace(*process.uid, userName(*process.uid));
        }
    }
    return model;
}

} // namespace korvel::top
