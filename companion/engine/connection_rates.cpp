#include "companion/engine/connection_rates.h"

namespace korvel {

std::string connectionCounterKey(const NetConnection& connection) {
    std::string key = std::to_string(connection.pid);
    key += ' ';
    key += rawValue(connection.proto);
    key += ' ';
    key += connection.localAddr;
    key += ' ';
    key += std::to_string(connection.localPort);
    key += ' ';
    key += connection.remoteAddr;
    key += ' ';
    key += std::to_string(connection.remotePort);
    return key;
}

ConnectionCountersByKey applyConnectionRates(std::vector<NetProcess>& processes,
                                             const ConnectionCountersByKey& previous,
                                             double elapsedSeconds) {
    ConnectionCountersByKey current;
    for (NetProcess& process : processes) {
        process.rateIn.reset();
        process.rateOut.reset();
        for (NetConnection& connection : process.connections) {
            connection.rateIn.reset();
            connection.rateOut.reset();
            if (!connection.bytesIn || !connection.bytesOut) {
                continue;
            }
            const ConnectionCounters now{*connection.bytesIn, *connection.bytesOut};
            auto [slot, first] = current.try_emplace(connectionCounterKey(connection), now);
            const auto before = previous.find(slot->first);
            if (before == previous.end() || elapsedSeconds <= 0 ||
                now.bytesIn < before->second.bytesIn || now.bytesOut < before->second.bytesOut) {
                continue;
            }
            connection.rateIn =
                static_cast<double>(now.bytesIn - before->second.bytesIn) / elapsedSeconds;
            connection.rateOut =
                static_cast<double>(now.bytesOut - before->second.bytesOut) / elapsedSeconds;
            if (first) {
                process.rateIn = process.rateIn.value_or(0) + *connection.rateIn;
                process.rateOut = process.rateOut.value_or(0) + *connection.rateOut;
            }
        }
    }
    return current;
}

} // namespace korvel
