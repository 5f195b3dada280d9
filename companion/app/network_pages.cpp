#include "companion/app/network_pages.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/sampling/interface_family.h"
#include "companion/text/figure_text.h"

#include <algorithm>

namespace korvel {
namespace {

// The engine's transport labels, which the path summary looks up.
[[maybe_unused]] constexpr const char* kTransportLabels[] = {
    translatable("Wi-Fi"),    translatable("Ethernet"), translatable("Cellular"),
    translatable("Loopback"), translatable("Other"),    translatable("Unknown")};

std::string familyText(const InterfaceStat& row) {
    switch (familyOf(row)) {
    case InterfaceFamily::physical:
        return localized("physical");
    case InterfaceFamily::tunnel:
        return localized("tunnel");
    case InterfaceFamily::virtualInterface:
        return localized("virtual");
    case InterfaceFamily::other:
        break;
    }
    return localized("other");
}

} // namespace

std::string pathSummaryText(const NetworkPathSummary& path) {
    std::string text;
    switch (path.status) {
    case NetworkPathStatus::online:
        text = localized("Online");
        break;
    case NetworkPathStatus::offline:
        text = localized("Offline");
        break;
    case NetworkPathStatus::constrained:
        text = localized("Online, constrained");
        break;
    case NetworkPathStatus::expensive:
        text = localized("Online, metered");
        break;
    }
    text += " · " + localized(path.transportLabel.c_str());
    if (path.primaryInterfaceID) {
        text += " · " + *path.primaryInterfaceID;
        if (path.localAddress) {
            text += " " + *path.localAddress;
        }
    }
    if (path.isVPNActive) {
        text += " · " + localized("VPN");
    }
    return text;
}

ConnectionsPage::ConnectionsPage(std::shared_ptr<KorvelManager> manager,
                                 platform::UserDefaults& defaults, HostNameLookup hostName)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 6), manager_(std::move(manager)), defaults_(defaults),
      table_(std::move(hostName), true, localized("Connections")) {
    set_margin(8);
    filter_.property_placeholder_text().set_value(
        localized("Filter by process, address, port, protocol or state"));
    style::setAccessibleName(filter_, localized("Filter connections"));
    filter_.signal_search_changed().connect([this] { table_.setFilterText(filter_.get_text()); });
    append(filter_);
    append(table_);
    followListeningSetting();
    observer_ = defaults_.addObserver(settings::kShowListeningPorts,
                                      [this](const std::string&) { followListeningSetting(); });
}

ConnectionsPage::~ConnectionsPage() {
    defaults_.removeObserver(observer_);
}

void ConnectionsPage::followListeningSetting() {
    table_.setShowListening(
        defaults_.boolFor(settings::kShowListeningPorts, settings::kShowListeningPortsDefault));
}

void ConnectionsPage::update() {
    std::vector<SocketRowValue> rows;
    for (const NetProcess& process : manager_->processes.get()) {
        for (const NetConnection& c : process.connections) {
            rows.push_back({c, process.displayName});
        }
    }
    table_.show(std::move(rows));
}

InterfacesPage::InterfacesPage(std::shared_ptr<KorvelManager> manager, DataUsage& usage)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 8), manager_(std::move(manager)),
      usage_(manager_, usage) {
    set_margin(8);
    using Definition = ColumnDefinition<InterfaceRowValue>;
    const auto peak = [](std::string title, double InterfaceRowValue::*field) {
        return Definition{std::move(title), [field](const auto& r) { return formatRate(r.*field); },
                          [field](const auto& r) { return r.*field; }, false, true};
    };
    const std::vector<Definition> columns = {
        {localized("Interface"),
         [](const auto& r) { return r.stat.id + (r.primary ? "  ★ " + localized("primary") : ""); },
         {},
         true},
        {localized("Family"), [](const auto& r) { return familyText(r.stat); }},
        {localized("In"), [](const auto& r) { return formatRate(r.stat.rateIn); },
         [](const auto& r) { return r.stat.rateIn; }, false, true},
        {localized("Out"), [](const auto& r) { return formatRate(r.stat.rateOut); },
         [](const auto& r) { return r.stat.rateOut; }, false, true},
        {localized("Received"), [](const auto& r) { return formatBytes(r.stat.bytesIn); },
         [](const auto& r) { return static_cast<double>(r.stat.bytesIn); }, false, true},
        {localized("Sent"), [](const auto& r) { return formatBytes(r.stat.bytesOut); },
         [](const auto& r) { return static_cast<double>(r.stat.bytesOut); }, false, true},
        peak(localized("Peak in"), &InterfaceRowValue::peakIn),
        peak(localized("Peak out"), &InterfaceRowValue::peakOut),
    };
    for (const auto& definition : columns) {
        appendColumn(view_, definition);
    }
    model_.attach(view_);
    style::setAccessibleName(view_, localized("Interfaces"));
    scroll_.set_child(view_);
    scroll_.set_vexpand(true);
    path_.set_xalign(0);
    path_.set_selectable(true);
    live_.append(scroll_);
    live_.append(path_);
    views_.add(live_, "live", localized("Interfaces"));
    views_.add(usage_, "usage", localized("Data usage"));
    views_.set_vexpand(true);
    views_.property_visible_child_name().signal_changed().connect([this] {
        if (showsUsage()) {
            usage_.update();
        }
    });
    switcher_.set_stack(views_);
    switcher_.set_halign(Gtk::Align::CENTER);
    append(switcher_);
    append(views_);
}

void InterfacesPage::showUsage(const std::string& network) {
    views_.set_visible_child("usage");
    usage_.showNetwork(network);
}

void InterfacesPage::notePeaks() {
    for (const InterfaceStat& stat : manager_->allInterfaceStats.get()) {
        auto& [peakIn, peakOut] = peaks_[stat.id];
        peakIn = std::max(peakIn, stat.rateIn);
        peakOut = std::max(peakOut, stat.rateOut);
    }
}

void InterfacesPage::update() {
    notePeaks();
    const NetworkPathSummary& path = manager_->networkPath.get();
    std::vector<InterfaceRowValue> rows;
    for (const InterfaceStat& stat : manager_->allInterfaceStats.get()) {
        const auto& [peakIn, peakOut] = peaks_[stat.id];
        rows.push_back({stat, path.primaryInterfaceID == stat.id, peakIn, peakOut});
    }
    syncListStore(model_.store, std::move(rows),
                  [](const InterfaceRowValue& row) { return row.stat.id; });
    model_.resortSoon(view_);
    path_.set_text(localized("Network path") + ": " + pathSummaryText(path));
    if (showsUsage()) {
        usage_.update();
    }
}

} // namespace korvel
