#include "companion/app/overview_page.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/app/network_pages.h"
#include "companion/app/overview_sections.h"
#include "companion/engine/command_notifications.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/text/figure_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace korvel {
namespace {

constexpr int kGraphHeight = 56;

// How many of the engine's entries a live graph spans.
size_t liveCapacity(const std::string& id) {
    return id == "network" ? kTrafficHistoryRule.capacity : kCPUHistoryRule.capacity;
}

const char* sectionTitle(const std::string& id) {
    static const std::map<std::string, const char*> titles = {
        {"cpu", translatable("CPU")},          {"memory", translatable("Memory")},
        {"gpu", translatable("GPU")},          {"temperatures", translatable("Temperatures")},
        {"network", translatable("Network")},  {"connections", translatable("Connections")},
        {"battery", translatable("Battery")},  {"disk", translatable("Disk")},
        {"path", translatable("Network path")}};
    return titles.at(id);
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string percent(double value) {
    return format("%.0f %%", value);
}

std::string celsius(const std::optional<double>& value) {
    return value ? format("%.0f °C", *value) : "—";
}

std::string pressureText(MemoryPressure pressure) {
    switch (pressure) {
    case MemoryPressure::normal:
        return localized("normal");
    case MemoryPressure::warning:
        return localized("warning");
    case MemoryPressure::critical:
        return localized("critical");
    }
    return {};
}

// The engine's lists each live graph draws, with their colours.
std::map<std::string, std::vector<HistoryGraph::Series>> liveGraphSeries(KorvelManager& m) {
    return {
        {"cpu", {{&m.cpuHistory.get(), 0.21, 0.52, 0.89}}},
        {"gpu", {{&m.gpuHistory.get(), 0.57, 0.25, 0.84}}},
        {"network",
         {{&m.inboundHistory.get(), 0.21, 0.52, 0.89},
          {&m.outboundHistory.get(), 0.96, 0.47, 0.0}}},
        {"connections", {{&m.connectionCountHistory.get(), 0.15, 0.64, 0.41}}},
    };
}

} // namespace

HistoryGraph::HistoryGraph(std::vector<Series> series, size_t capacity, std::optional<double> top)
    : series_(std::move(series)), capacity_(std::max<size_t>(capacity, 2)), top_(top) {
    set_content_height(kGraphHeight);
    set_hexpand(true);
    set_draw_func(sigc::mem_fun(*this, &HistoryGraph::draw));
}

void HistoryGraph::draw(const Cairo::RefPtr<Cairo::Context>& cr, int width, int height) const {
    cr->set_source_rgba(0.5, 0.5, 0.5, 0.08);
    cr->rectangle(0, 0, width, height);
    cr->fill();
    double top = top_.value_or(0);
    if (!top_) {
        for (const Series& s : series_) {
            for (double v : *s.values) {
                top = std::max(top, v);
            }
        }
    }
    if (top <= 0) {
        return;
    }
    const double step = static_cast<double>(width) / static_cast<double>(capacity_ - 1);
    for (const Series& s : series_) {
        const History& values = *s.values;
        const size_t n = std::min(values.size(), capacity_);
        const size_t first = values.size() - n;
        const auto x = [&](size_t i) { return width - static_cast<double>(n - 1 - i) * step; };
        const auto y = [&](size_t i) {
            return height - std::clamp(values[first + i] / top, 0.0, 1.0) * (height - 2) - 1;
        };
        const auto missing = [&](size_t i) { return std::isnan(values[first + i]); };
        // Each run of values between gaps is a line of its own.
        for (size_t begin = 0; begin < n;) {
            if (missing(begin)) {
                ++begin;
                continue;
            }
            size_t end = begin;
            while (end + 1 < n && !missing(end + 1)) {
                ++end;
            }
            if (end > begin) {
                cr->move_to(x(begin), y(begin));
                for (size_t i = begin + 1; i <= end; ++i) {
                    cr->line_to(x(i), y(i));
                }
                cr->set_source_rgb(s.red, s.green, s.blue);
                cr->set_line_width(1.5);
                cr->stroke_preserve();
                cr->line_to(x(end), height);
                cr->line_to(x(begin), height);
                cr->close_path();
                cr->set_source_rgba(s.red, s.green, s.blue, 0.15);
                cr->fill();
            }
            begin = end + 1;
        }
    }
}

void HistoryGraph::show(std::vector<Series> series, size_t capacity) {
    series_ = std::move(series);
    capacity_ = std::max<size_t>(capacity, 2);
    queue_draw();
}

struct OverviewPage::Section {
    std::string id;
    Gtk::Box card{Gtk::Orientation::VERTICAL, 4};
    Gtk::Box header{Gtk::Orientation::HORIZONTAL, 6};
    Gtk::Label title;
    Gtk::Image handle;
    Gtk::Label figure;
    Gtk::Label detail;
    std::unique_ptr<HistoryGraph> graph;
    bool present = true; // battery and disk only where there is one
};

OverviewPage::OverviewPage(std::shared_ptr<KorvelManager> manager, platform::UserDefaults& defaults,
                           platform::NotificationCenter& notifications, DataUsage& usage,
                           std::function<void(const std::string&)> openUsage)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 6), manager_(std::move(manager)), defaults_(defaults),
      notifications_(notifications), usage_(usage), openUsage_(std::move(openUsage)) {
    set_margin(8);
    liveGraphs_ = liveGraphSeries(*manager_);
    for (const char* id : kOverviewSectionIds) {
        auto section = buildSectionCard(id);
        makeReorderable(*section);
        addSectionCheck(id);
        sections_.emplace(id, std::move(section));
    }
    buildSpanChoice();
    buildSectionsMenu();
    append(bar_);
    buildCards();

    applyLayout();
    usageRead_ = usage_.read.connect([this] { showUsage(); });
    observer_ = defaults_.addObserver("", [this](const std::string& key) {
        if (key == settings::kOverviewSectionOrder || key == settings::kOverviewHiddenSections) {
            applyLayout();
        }
    });
}

std::unique_ptr<OverviewPage::Section> OverviewPage::buildSectionCard(const std::string& id) const {
    auto section = std::make_unique<Section>();
    Section& s = *section;
    s.id = id;
    s.title.set_text(localized(sectionTitle(id)));
    s.title.add_css_class(style::kSectionTitle);
    s.title.set_xalign(0);
    s.title.set_hexpand(true);
    s.handle.set_from_icon_name("list-drag-handle-symbolic");
    s.handle.set_tooltip_text(localized("Drag to reorder"));
    s.header.append(s.title);
    s.header.append(s.handle);
    s.figure.add_css_class(style::kFigure);
    s.figure.set_xalign(0);
    style::setNote(s.detail, style::kSmall);
    s.card.add_css_class(style::kCard);
    s.card.add_css_class("korvel-section");
    s.card.set_size_request(260, -1);
    s.card.append(s.header);
    s.card.append(s.figure);
    if (auto found = liveGraphs_.find(id); found != liveGraphs_.end()) {
        const bool percent = s.id == "cpu" || s.id == "gpu";
        s.graph = std::make_unique<HistoryGraph>(found->second, liveCapacity(s.id),
                                                 percent ? std::optional(100.0) : std::nullopt);
        s.card.append(*s.graph);
    }
    s.card.append(s.detail);
    return section;
}

void OverviewPage::makeReorderable(Section& s) {
    auto source = Gtk::DragSource::create();
    source->set_actions(Gdk::DragAction::MOVE);
    source->signal_prepare().connect(
        [id = s.id](double, double) {
            Glib::Value<Glib::ustring> value;
            value.init(value.value_type());
            value.set(id);
            return Gdk::ContentProvider::create(value);
        },
        false);
    source->signal_drag_begin().connect(
        [this](const Glib::RefPtr<Gdk::Drag>&) { setDragging(true); });
    source->signal_drag_end().connect(
        [this](const Glib::RefPtr<Gdk::Drag>&, bool) { setDragging(false); });
    s.header.add_controller(source);
    auto target =
        Gtk::DropTarget::create(Glib::Value<Glib::ustring>::value_type(), Gdk::DragAction::MOVE);
    target->signal_drop().connect(
        [this, id = s.id](const Glib::ValueBase& value, double, double) {
            Glib::Value<Glib::ustring> moved;
            moved.init(value.gobj());
            moveSection(moved.get(), id);
            return true;
        },
        false);
    s.card.add_controller(target);
}

void OverviewPage::addSectionCheck(const std::string& id) {
    auto* check = Gtk::make_managed<Gtk::CheckButton>(localized(sectionTitle(id)));
    check->signal_toggled().connect(
        [this, check, id] { setSectionHidden(id, !check->get_active()); });
    menuChecks_[id] = check;
    menuBox_.append(*check);
}

void OverviewPage::buildSpanChoice() {
    const std::vector<Glib::ustring> spans = {localized("Live"), localized("Last hour"),
                                              localized("Last day"), localized("Last week")};
    spanChoice_.set_model(Gtk::StringList::create(spans));
    spanChoice_.set_tooltip_text(localized("What the CPU, GPU and network graphs span"));
    style::setAccessibleName(spanChoice_, localized("Graph span"));
    spanChoice_.property_selected().signal_changed().connect([this] {
        recorded_.request(static_cast<GraphSpan>(
            std::min<guint>(spanChoice_.get_selected(), static_cast<guint>(GraphSpan::week))));
        recordedAt_ = std::chrono::steady_clock::now();
    });
    recorded_.read.connect([this] { showGraphs(); });
    bar_.append(spanChoice_);
}

void OverviewPage::buildSectionsMenu() {
    menuButton_.set_label(localized("Sections"));
    menuButton_.set_tooltip_text(localized("Show or hide sections"));
    style::setAccessibleName(menuButton_, localized("Show or hide sections"));
    menuBox_.set_margin(6);
    menu_.set_child(menuBox_);
    menuButton_.set_popover(menu_);
    menuButton_.set_halign(Gtk::Align::END);
    menuButton_.set_hexpand(true);
    bar_.append(menuButton_);
}

void OverviewPage::buildCards() {
    cards_.set_selection_mode(Gtk::SelectionMode::NONE);
    cards_.set_max_children_per_line(3);
    cards_.set_min_children_per_line(1);
    cards_.set_homogeneous(true);
    cards_.set_valign(Gtk::Align::START);
    cards_.set_row_spacing(8);
    cards_.set_column_spacing(8);
    style::setAccessibleName(cards_, localized("Overview"));
    scroll_.set_child(cards_);
    scroll_.set_vexpand(true);
    scroll_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
    append(scroll_);
}

OverviewPage::~OverviewPage() {
    usageRead_.disconnect();
    defaults_.removeObserver(observer_);
    if (dragging_) {
        setDragging(false);
    }
}

void OverviewPage::showGraphs() {
    const GraphSpan span = recorded_.span();
    const RecordedGraphs::Values& recorded = recorded_.values();
    const std::map<std::string, std::vector<const History*>> fromHistory = {
        {"cpu", {&recorded.cpu}},
        {"gpu", {&recorded.gpu}},
        {"network", {&recorded.in, &recorded.out}}};
    for (const auto& [id, live] : liveGraphs_) {
        HistoryGraph* graph = sections_.at(id)->graph.get();
        std::vector<HistoryGraph::Series> series = live;
        const auto found = fromHistory.find(id);
        if (span == GraphSpan::live || found == fromHistory.end()) {
            graph->show(std::move(series), liveCapacity(id));
            continue;
        }
        for (size_t i = 0; i < series.size(); ++i) {
            series[i].values = found->second[i];
        }
        graph->show(std::move(series), RecordedGraphs::slotsOf(span));
    }
}

const HistoryGraph* OverviewPage::graph(const std::string& id) const {
    const auto found = sections_.find(id);
    return found == sections_.end() ? nullptr : found->second->graph.get();
}

void OverviewPage::applyLayout() {
    order_ = overviewSectionOrder(defaults_.stringFor(settings::kOverviewSectionOrder,
                                                      settings::kOverviewSectionOrderDefault));
    const auto hidden = overviewHiddenSections(defaults_.stringFor(
        settings::kOverviewHiddenSections, settings::kOverviewHiddenSectionsDefault));
    for (const auto& id : order_) {
        Section& s = *sections_.at(id);
        if (s.card.get_parent() != nullptr) {
            cards_.remove(s.card);
        }
    }
    for (const auto& id : order_) {
        Section& s = *sections_.at(id);
        cards_.insert(s.card, -1);
        s.card.get_parent()->set_visible(s.present && !hidden.contains(id));
        // Set without re-storing: the toggle handler only stores a change.
        menuChecks_.at(id)->set_active(!hidden.contains(id));
    }
}

std::vector<std::string> OverviewPage::visibleSections() const {
    std::vector<std::string> shown;
    for (const auto& id : order_) {
        const Section& s = *sections_.at(id);
        if (s.card.get_parent() != nullptr && s.card.get_parent()->get_visible()) {
            shown.push_back(id);
        }
    }
    return shown;
}

const Gtk::Label& OverviewPage::figure(const std::string& id) const {
    return sections_.at(id)->figure;
}

Gtk::Widget& OverviewPage::dragHandle(const std::string& id) {
    return sections_.at(id)->header;
}

void OverviewPage::setDragging(bool dragging) {
    dragging_ = dragging;
    notifications_.post(notifications::kOverviewDragStateChanged,
                        platform::UserInfo{{"isDragging", dragging}});
}

void OverviewPage::moveSection(const std::string& moved, const std::string& target) {
    const auto order = korvel::moveSection(order_, moved, target);
    if (order != order_) {
        defaults_.setString(settings::kOverviewSectionOrder, joinSectionIds(order));
        applyLayout();
    }
}

void OverviewPage::setSectionHidden(const std::string& id, bool hidden) {
    auto set = overviewHiddenSections(defaults_.stringFor(
        settings::kOverviewHiddenSections, settings::kOverviewHiddenSectionsDefault));
    if (set.contains(id) == hidden) {
        return;
    }
    if (hidden) {
        set.insert(id);
    } else {
        set.erase(id);
    }
    std::vector<std::string> ids;
    for (const char* known : kOverviewSectionIds) {
        if (set.contains(known)) {
            ids.emplace_back(known);
        }
    }
    defaults_.setString(settings::kOverviewHiddenSections, joinSectionIds(ids));
    applyLayout();
}

void OverviewPage::setSection(const std::string& id, const std::string& figure,
                              const std::string& detail) {
    Section& s = *sections_.at(id);
    s.figure.set_text(figure);
    s.detail.set_text(detail);
    if (s.graph) {
        s.graph->queue_draw();
    }
}

std::vector<UsageCard*> OverviewPage::usageCards() const {
    std::vector<UsageCard*> cards;
    for (const auto& card : usageCards_) {
        cards.push_back(card.get());
    }
    return cards;
}

void OverviewPage::showUsage() {
    std::vector<const usage::NetworkAccount*> tracked;
    for (const auto& account : usage_.accounts()) {
        if (account.isTracked()) {
            tracked.push_back(&account);
        }
    }
    const bool same = std::equal(tracked.begin(), tracked.end(), usageCards_.begin(),
                                 usageCards_.end(), [](const auto* account, const auto& card) {
                                     return account->network.key == card->network();
                                 });
    if (!same) {
        for (const auto& card : usageCards_) {
            cards_.remove(*card);
        }
        usageCards_.clear();
        for (size_t i = 0; i < tracked.size(); ++i) {
            usageCards_.push_back(std::make_unique<UsageCard>(openUsage_));
            cards_.insert(*usageCards_.back(), static_cast<int>(i));
        }
    }
    const int64_t now = std::time(nullptr);
    for (size_t i = 0; i < tracked.size(); ++i) {
        usageCards_[i]->show(*tracked[i], now);
    }
}

void OverviewPage::update() {
    // At most every DataUsage::kPeriod; the cards follow each read.
    usage_.refresh();
    // The recorded spans gain a minute bucket a minute.
    if (recorded_.wanted() != GraphSpan::live &&
        std::chrono::steady_clock::now() - recordedAt_ > std::chrono::minutes(1)) {
        recorded_.request(recorded_.wanted());
        recordedAt_ = std::chrono::steady_clock::now();
    }
    const SystemStats& st = manager_->systemStats.get();
    setSection("cpu", percent(st.cpuUsagePercent),
               localized("load") + " " + format("%.2f", st.loadAverage1m) + " · " +
                   std::to_string(st.coreCount) + " " + localized("cores"));
    const double memShare =
        st.totalMem ? 100.0 * static_cast<double>(st.usedMem) / static_cast<double>(st.totalMem)
                    : 0;
    setSection("memory", percent(memShare),
               formatBytes(st.usedMem) + " " + localized("of") + " " + formatBytes(st.totalMem) +
                   " · " + localized("pressure") + ": " + pressureText(st.pressure));
    setSection("gpu", st.gpuUsagePercent ? percent(*st.gpuUsagePercent) : localized("not measured"),
               localized("temperature") + " " + celsius(st.gpuTemperatureCelsius));
    setSection("temperatures", localized("CPU") + " " + celsius(st.cpuTemperatureCelsius),
               localized("GPU") + " " + celsius(st.gpuTemperatureCelsius));
    const auto& counts = manager_->connectionCountHistory.get();
    setSection("connections",
               std::to_string(counts.empty() ? 0 : static_cast<long>(counts.back())) + " " +
                   localized("established"),
               localized("over the last readings"));
    if (st.battery) {
        setSection("battery", percent(st.battery->percentage),
                   (st.battery->isCharging ? localized("charging") : localized("not charging")) +
                       (st.battery->isOnACPower ? " · " + localized("on AC power") : ""));
    }
    if (st.diskTotal) {
        const uint64_t used = st.diskTotal - std::min(st.diskFree, st.diskTotal);
        setSection("disk",
                   percent(100.0 * static_cast<double>(used) / static_cast<double>(st.diskTotal)),
                   formatBytes(st.diskFree) + " " + localized("free of") + " " +
                       formatBytes(st.diskTotal));
    }
    const NetworkPathSummary& path = manager_->networkPath.get();
    setSection("path",
               path.status == NetworkPathStatus::offline ? localized("Offline")
                                                         : localized("Online"),
               pathSummaryText(path));
    const bool battery = st.battery.has_value(), disk = st.diskTotal > 0;
    if (battery != sections_.at("battery")->present || disk != sections_.at("disk")->present) {
        sections_.at("battery")->present = battery;
        sections_.at("disk")->present = disk;
        applyLayout();
    }
    updateTraffic();
}

void OverviewPage::updateTraffic() {
    const TrafficSessionStats& session = manager_->sessionStats.get();
    setSection("network",
               "↓ " + formatRate(manager_->liveInboundRate.get()) + "   ↑ " +
                   formatRate(manager_->liveOutboundRate.get()),
               localized("this session") + ": ↓ " + formatBytes(session.totalInboundBytes) + " ↑ " +
                   formatBytes(session.totalOutboundBytes) + " · " + localized("peak") + " ↓ " +
                   formatRate(session.peakInboundRate) + " ↑ " +
                   formatRate(session.peakOutboundRate));
}

} // namespace korvel
