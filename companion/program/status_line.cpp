#include "companion/program/status_line.h"

#include "companion/engine/korvel_manager.h"
#include "companion/text/terminal_text.h"

#include <sstream>

namespace korvel {

std::string engineStatusLine(const KorvelManager& manager) {
    size_t sockets = 0;
    for (const auto& process : manager.processes.get()) {
        sockets += process.connections.size();
    }
    const auto& path = manager.networkPath.get();
    std::ostringstream line;
    line << "processes " << manager.processes.get().size() << ", sockets " << sockets << ", "
         << (manager.dataMode.get() == DataAcquisitionMode::helperFull ? "helper data"
                                                                       : "local data only")
         << "; network " << networkPathStatusText(path.status) << " (" << path.transportLabel;
    if (path.primaryInterfaceID) {
        line << ", " << *path.primaryInterfaceID;
        if (path.localAddress) {
            line << " " << *path.localAddress;
        }
    }
    if (path.isVPNActive) {
        line << ", VPN";
    }
    line << ")";
    // Interface names and addresses are the machine's; the line goes to a terminal.
    return terminalSafeText(line.str());
}

} // namespace korvel
