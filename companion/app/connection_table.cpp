#include "companion/app/connection_table.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/text/figure_text.h"

#include <algorithm>
#include <cctype>

namespace korvel {
namespace {

bool isIPv6(TransportProto proto) {
    return proto == TransportProto::tcp6 || proto == TransportProto::udp6;
}

bool isWildcard(const std::string& address) {
    return address.empty() || address == "0.0.0.0" || address == "::" ||
           address == "::ffff:0.0.0.0";
}

std::string bytesText(const std::optional<uint64_t>& bytes) {
    return bytes ? formatBytes(*bytes) : "—";
}

std::string rowKey(const SocketRowValue& row) {
    return socketKey(row.connection) + (row.closedAgo ? " closed" : "");
}

} // namespace

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string rateText(const std::optional<double>& rate) {
    return rate ? formatRate(*rate) : "—";
}

bool isListeningSocket(const NetConnection& c) {
    const bool udp = c.proto == TransportProto::udp || c.proto == TransportProto::udp6;
    return c.state == TCPState::listen || (udp && c.remotePort == 0);
}

ConnectionTable::ConnectionTable(HostNameLookup hostName, bool withProcessColumn,
                                 const std::string& accessibleName)
    : hostName_(std::move(hostName)) {
    using Definition = ColumnDefinition<SocketRowValue>;
    const auto remote = [this](const SocketRowValue& row) {
        const NetConnection& c = row.connection;
        if (isWildcard(c.remoteAddr) && c.remotePort == 0) {
            return std::string("—");
        }
        if (hostName_ && !isWildcard(c.remoteAddr)) {
            if (auto name = hostName_(c.remoteAddr)) {
                return endpointText(*name, c.remotePort, false);
            }
        }
        return endpointText(c.remoteAddr, c.remotePort, isIPv6(c.proto));
    };
    std::vector<Definition> columns;
    if (withProcessColumn) {
        columns.push_back(
            {localized("Process"), [](const auto& r) { return r.process; }, {}, true});
    }
    columns.push_back({localized("Protocol"),
                       [](const auto& r) { return std::string(rawValue(r.connection.proto)); }});
    columns.push_back({localized("Local"),
                       [](const auto& r) {
                           const NetConnection& c = r.connection;
                           return endpointText(c.localAddr, c.localPort, isIPv6(c.proto));
                       },
                       {},
                       true});
    columns.push_back({localized("Remote"), remote, {}, true});
    columns.push_back({localized("State"), [](const auto& r) {
                           return r.closedAgo ? localized("closed") + " " + *r.closedAgo
                                              : std::string(rawValue(r.connection.state));
                       }});
    // The kernel keeps no byte counters for UDP; only the meter counts it.
    const auto unmeasured = [](const NetConnection& c) {
        return c.counted == ByteSource::none &&
               (c.proto == TransportProto::udp || c.proto == TransportProto::udp6);
    };
    columns.push_back({localized("In"),
                       [unmeasured](const auto& r) {
                           return unmeasured(r.connection) ? localized("not measured")
                                                           : rateText(r.connection.rateIn);
                       },
                       [](const auto& r) { return r.connection.rateIn.value_or(-1); }, false,
                       true});
    columns.push_back(
        {localized("Out"),
         [unmeasured](const auto& r) {
             return unmeasured(r.connection) ? std::string() : rateText(r.connection.rateOut);
         },
         [](const auto& r) { return r.connection.rateOut.value_or(-1); }, false, true});
    columns.push_back({localized("Counted by"), [](const auto& r) {
                           switch (r.connection.counted) {
                           case ByteSource::kernelMeter:
                               return localized("kernel meter");
                           case ByteSource::tcpCounters:
                               return localized("TCP counters");
                           case ByteSource::none:
                               break;
                           }
                           return localized("not measured");
                       }});
    columns.push_back(
        {localized("Received"), [](const auto& r) { return bytesText(r.connection.bytesIn); },
         [](const auto& r) { return static_cast<double>(r.connection.bytesIn.value_or(0)); }, false,
         true});
    columns.push_back(
        {localized("Sent"), [](const auto& r) { return bytesText(r.connection.bytesOut); },
         [](const auto& r) { return static_cast<double>(r.connection.bytesOut.value_or(0)); },
         false, true});
    for (const auto& definition : columns) {
        appendColumn(view_, definition);
    }
    model_.keep = [this](const SocketRowValue& row) { return keep(row); };
    model_.attach(view_);
    view_.add_css_class("data-table");
    style::setAccessibleName(view_, accessibleName);
    set_child(view_);
    set_vexpand(true);
}

void ConnectionTable::show(std::vector<SocketRowValue> rows) {
    syncListStore(model_.store, std::move(rows), rowKey);
    model_.resortSoon(view_);
}

void ConnectionTable::setFilterText(std::string text) {
    filterText_ = lowered(std::move(text));
    model_.refilter();
}

void ConnectionTable::setShowListening(bool show) {
    if (show != showListening_) {
        showListening_ = show;
        model_.refilter();
    }
}

bool ConnectionTable::keep(const SocketRowValue& row) const {
    const NetConnection& c = row.connection;
    if (!showListening_ && !row.closedAgo && isListeningSocket(c)) {
        return false;
    }
    if (filterText_.empty()) {
        return true;
    }
    const std::string haystack =
        lowered(row.process + ' ' + std::string(rawValue(c.proto)) + ' ' + c.localAddr + ':' +
                std::to_string(c.localPort) + ' ' + c.remoteAddr + ':' +
                std::to_string(c.remotePort) + ' ' + std::string(rawValue(c.state)));
    return haystack.find(filterText_) != std::string::npos;
}

} // namespace korvel
