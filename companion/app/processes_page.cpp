#include "companion/app/processes_page.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/text/figure_text.h"
#include "platform/program/user_name.h"

#include <algorithm>
#include <cstdio>

namespace korvel {
namespace {

constexpr guint kGpuColumn = 11; // the last

NetProcess withoutSockets(const NetProcess& process) {
    NetProcess row;
    row.id = process.id;
    row.name = process.name;
    row.displayName = process.displayName;
    row.execPath = process.execPath;
    row.icon = process.icon;
    row.cpuPercent = process.cpuPercent;
    row.memBytes = process.memBytes;
    row.cpuNS = process.cpuNS;
    row.uid = process.uid;
    row.unit = process.unit;
    row.appId = process.appId;
    row.container = process.container;
    row.startTime = process.startTime;
    row.rateIn = process.rateIn;
    row.rateOut = process.rateOut;
    row.gpuEngines = process.gpuEngines;
    row.gpuUsed = process.gpuUsed;
    row.gpuMemoryBytes = process.gpuMemoryBytes;
    row.gpuPercent = process.gpuPercent;
    row.diskReadRate = process.diskReadRate;
    row.diskWriteRate = process.diskWriteRate;
    return row;
}

std::string percentText(double percent) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", percent);
    return text;
}

std::string percentText(const std::optional<double>& percent) {
    return percent ? percentText(*percent) : "—";
}

// The selected process's GPU and storage figures, where it has them.
std::string usageLine(const NetProcess& p) {
    std::string line;
    if (p.gpuPercent) {
        line = localized("GPU") + " " + percentText(*p.gpuPercent) + " %";
        std::string engines;
        for (const HelperGpuEngineData& engine : p.gpuUsed) {
            if (engine.ns > 0) {
                engines += (engines.empty() ? "" : ", ") + engine.engine;
            }
        }
        line += engines.empty() ? "" : " (" + engines + ")";
    }
    if (p.gpuMemoryBytes) {
        line += (line.empty() ? "" : ", ") + localized("GPU memory") + " " +
                formatBytes(*p.gpuMemoryBytes);
    }
    if (p.diskReadRate && p.diskWriteRate) {
        line += (line.empty() ? "" : ", ") + localized("Disk read") + " " +
                formatRate(*p.diskReadRate) + ", " + localized("Disk write") + " " +
                formatRate(*p.diskWriteRate);
    }
    return line;
}

// Where the process belongs: container, else application, else unit.
std::string ownerText(const NetProcess& p) {
    return p.container ? *p.container : p.appId ? *p.appId : p.unit.value_or("");
}

} // namespace

ProcessesPage::ProcessesPage(std::shared_ptr<KorvelManager> manager,
                             platform::UserDefaults& defaults, HostNameLookup hostName,
                             std::function<void()> refreshNow, std::function<double()> now)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 6), manager_(std::move(manager)), defaults_(defaults),
      now_(std::move(now)),
      sockets_(std::move(hostName), false, localized("Sockets of the selected process")) {
    set_margin(8);

    search_.property_placeholder_text().set_value(
        localized("Search name, path, unit, app or container"));
    search_.set_hexpand(true);
    style::setAccessibleName(search_, localized("Search processes"));
    search_.signal_search_changed().connect([this] {
        searchText_ = lowered(search_.get_text());
        model_.refilter();
    });
    systemToggle_.set_label(localized("Show system processes"));
    systemToggle_.set_active(
        defaults_.boolFor(settings::kShowSystemProcesses, settings::kShowSystemProcessesDefault));
    systemToggle_.signal_toggled().connect([this, refreshNow = std::move(refreshNow)] {
        const bool show = systemToggle_.get_active();
        if (show != defaults_.boolFor(settings::kShowSystemProcesses,
                                      settings::kShowSystemProcessesDefault)) {
            defaults_.setBool(settings::kShowSystemProcesses, show);
            refreshNow();
        }
    });
    observer_ = defaults_.addObserver(settings::kShowSystemProcesses, [this](const std::string&) {
        systemToggle_.set_active(defaults_.boolFor(settings::kShowSystemProcesses,
                                                   settings::kShowSystemProcessesDefault));
    });
    bar_.append(search_);
    bar_.append(systemToggle_);
    append(bar_);

    using Definition = ColumnDefinition<ProcessRowValue>;
    const std::vector<Definition> columns = {
        {localized("Name"),
         [](const auto& r) { return r.process.displayName; },
         {},
         true,
         false,
         [](const auto& r) { return r.process.icon.value_or(""); }},
        {localized("PID"), [](const auto& r) { return std::to_string(r.process.id); },
         [](const auto& r) { return static_cast<double>(r.process.id); }, false, true},
        {localized("User"), [](const auto& r) { return r.user; }},
        {localized("Unit, app or container"),
         [](const auto& r) { return ownerText(r.process); },
         {},
         true},
        {localized("CPU %"), [](const auto& r) { return percentText(r.process.cpuPercent); },
         [](const auto& r) { return r.process.cpuPercent; }, false, true},
        {localized("Memory"), [](const auto& r) { return formatBytes(r.process.memBytes); },
         [](const auto& r) { return static_cast<double>(r.process.memBytes); }, false, true},
        {localized("Sockets"), [](const auto& r) { return std::to_string(r.socketCount); },
         [](const auto& r) { return static_cast<double>(r.socketCount); }, false, true},
        {localized("In"), [](const auto& r) { return rateText(r.process.rateIn); },
         [](const auto& r) { return r.process.rateIn.value_or(-1); }, false, true},
        {localized("Out"), [](const auto& r) { return rateText(r.process.rateOut); },
         [](const auto& r) { return r.process.rateOut.value_or(-1); }, false, true},
        {localized("Disk read"), [](const auto& r) { return rateText(r.process.diskReadRate); },
         [](const auto& r) { return r.process.diskReadRate.value_or(-1); }, false, true},
        {localized("Disk write"), [](const auto& r) { return rateText(r.process.diskWriteRate); },
         [](const auto& r) { return r.process.diskWriteRate.value_or(-1); }, false, true},
        {localized("GPU %"), [](const auto& r) { return percentText(r.process.gpuPercent); },
         [](const auto& r) { return r.process.gpuPercent.value_or(-1); }, false, true},
    };
    for (const auto& definition : columns) {
        appendColumn(view_, definition);
    }
    model_.keep = [this](const ProcessRowValue& row) { return keep(row); };
    model_.attach(view_);
    // Busiest first until the user picks another column.
    view_.sort_by_column(
        std::dynamic_pointer_cast<Gtk::ColumnViewColumn>(view_.get_columns()->get_object(4)),
        Gtk::SortType::DESCENDING);
    style::setAccessibleName(view_, localized("Processes"));
    model_.selection->property_selected().signal_changed().connect([this] { showSelected(); });
    // Enter (or a double click) opens the process's sockets.
    view_.signal_activate().connect([this](guint) { sockets_.view().grab_focus(); });
    tableScroll_.set_child(view_);
    tableScroll_.set_vexpand(true);

    detailTitle_.set_xalign(0);
    detailTitle_.add_css_class(style::kSectionTitle);
    detail_.append(detailTitle_);
    detailUsage_.set_xalign(0);
    detail_.append(detailUsage_);
    detail_.append(sockets_);
    auto escape = Gtk::EventControllerKey::create();
    escape->signal_key_pressed().connect(
        [this](guint key, guint, Gdk::ModifierType) {
            if (key != GDK_KEY_Escape) {
                return false;
            }
            view_.grab_focus();
            return true;
        },
        false);
    detail_.add_controller(escape);

    split_.set_start_child(tableScroll_);
    split_.set_end_child(detail_);
    split_.set_resize_end_child(false);
    split_.set_position(360);
    split_.set_vexpand(true);
    append(split_);
    otherTcp_.set_xalign(0);
    otherTcp_.set_visible(false);
    append(otherTcp_);
    showSelected();
}

ProcessesPage::~ProcessesPage() {
    defaults_.removeObserver(observer_);
}

void ProcessesPage::update() {
    std::vector<ProcessRowValue> rows;
    const auto& processes = manager_->processes.get();
    rows.reserve(processes.size());
    for (const NetProcess& process : processes) {
        rows.push_back(
            {withoutSockets(process), process.connections.size(), userName(process.uid)});
    }
    syncListStore(model_.store, std::move(rows),
                  [](const ProcessRowValue& row) { return row.process.keyText(); });
    model_.resortSoon(view_);
    // Like top, no GPU column on a machine without a GPU.
    const bool gpu = manager_->systemStats.get().gpuUsagePercent ||
                     std::any_of(processes.begin(), processes.end(),
                                 [](const NetProcess& p) { return !p.gpuEngines.empty(); });
    if (const auto column = std::dynamic_pointer_cast<Gtk::ColumnViewColumn>(
            view_.get_columns()->get_object(kGpuColumn))) {
        column->set_visible(gpu);
    }
    showSelected();
    const auto& other = manager_->otherTcpRate.get();
    otherTcp_.set_visible(other && (other->in > 0 || other->out > 0));
    if (other) {
        otherTcp_.set_text(localized("Other TCP (no process known)") + ": " + localized("In") +
                           " " + formatRate(other->in) + ", " + localized("Out") + " " +
                           formatRate(other->out));
    }
}

const std::string& ProcessesPage::userName(const std::optional<uint32_t>& uid) {
    static const std::string unknown;
    if (!uid) {
        return unknown;
    }
    auto found = userNames_.find(*uid);
    if (found == userNames_.end()) {
        found =
            userNames_.emplace(*uid, platform::userName(*uid).value_or(std::to_string(*uid))).first;
    }
    return found->second;
}

bool ProcessesPage::keep(const ProcessRowValue& row) const {
    if (searchText_.empty()) {
        return true;
    }
    const NetProcess& p = row.process;
    for (const std::string* field :
         {&p.name, &p.displayName, p.execPath ? &*p.execPath : nullptr, p.unit ? &*p.unit : nullptr,
          p.appId ? &*p.appId : nullptr, p.container ? &*p.container : nullptr}) {
        if (field != nullptr && lowered(*field).find(searchText_) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void ProcessesPage::showSelected() {
    const ProcessRowValue* selected = model_.selected();
    if (selected == nullptr) {
        detailTitle_.set_text(localized("Select a process to see its sockets"));
        detailUsage_.set_visible(false);
        sockets_.show({});
        return;
    }
    const NetProcess& process = selected->process;
    detailTitle_.set_text(localized("Sockets of") + " " + process.displayName + " (" +
                          std::to_string(process.id) + ")");
    const std::string usage = usageLine(process);
    detailUsage_.set_text(usage);
    detailUsage_.set_visible(!usage.empty());
    std::vector<SocketRowValue> rows;
    const auto& processes = manager_->processes.get();
    const auto live = std::find_if(processes.begin(), processes.end(), [&](const NetProcess& p) {
        return sameProcess(p.key(), process.key());
    });
    if (live != processes.end()) {
        for (const NetConnection& c : live->connections) {
            rows.push_back({c, process.displayName});
        }
    }
    const auto& closed = manager_->recentlyClosedByPID.get();
    if (auto found = closed.find(process.id); found != closed.end()) {
        const double now = now_();
        for (const ClosedConnection& c : found->second) {
            NetConnection last = c.connection;
            last.bytesIn = c.finalBytesIn ? c.finalBytesIn : last.bytesIn;
            last.bytesOut = c.finalBytesOut ? c.finalBytesOut : last.bytesOut;
            rows.push_back({std::move(last), process.displayName, formatAge(now - c.closedAt)});
        }
    }
    sockets_.show(std::move(rows));
}

} // namespace korvel
