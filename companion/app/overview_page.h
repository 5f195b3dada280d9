#pragma once

#include "companion/app/data_usage.h"
#include "companion/app/recorded_graphs.h"
#include "companion/app/usage_card.h"
#include "companion/model/history.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/notification_center.h"

#include <gtkmm.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

class KorvelManager;

// A line per history, drawn from the engine's own lists each frame: the
// newest value at the right edge, one slot per entry of the history's
// capacity, scaled to a fixed top or to the largest value shown. A NaN is a
// gap in the line.
class HistoryGraph : public Gtk::DrawingArea {
public:
    struct Series {
        const History* values; // the engine's list, read while drawing
        double red, green, blue;
    };

    HistoryGraph(std::vector<Series> series, size_t capacity, std::optional<double> top);

    // Draws these lists from now on.
    void show(std::vector<Series> series, size_t capacity);
    const std::vector<Series>& series() const { return series_; }

private:
    void draw(const Cairo::RefPtr<Cairo::Context>& cr, int width, int height) const;

    std::vector<Series> series_;
    size_t capacity_;
    std::optional<double> top_;
};

// The Overview tab: a card per network with a plan or a metered connection,
// for its billing cycle, then one card per section (CPU, memory, GPU,
// temperatures, network, connections, battery, disk, network path). Clicking
// a network's card calls openUsage with its key. Sections are reordered by
// dragging their title and hidden from the Sections menu; both choices are
// kept in "overviewSectionOrder" and "overviewHiddenSections". While a card
// is dragged the engine pauses ("Korvel.OverviewDragStateChanged").
class OverviewPage : public Gtk::Box {
public:
    OverviewPage(std::shared_ptr<KorvelManager> manager, platform::UserDefaults& defaults,
                 platform::NotificationCenter& notifications, DataUsage& usage,
                 std::function<void(const std::string&)> openUsage);
    ~OverviewPage() override;

    // All figures, after a merge.
    void update();
    // The live traffic figures and graph, after a sampler tick.
    void updateTraffic();

    // The drag of a card's title, as its drag source reports it.
    void setDragging(bool dragging);
    // Puts `moved` before `target` and stores the order.
    void moveSection(const std::string& moved, const std::string& target);
    // Hides or shows a section and stores the hidden set.
    void setSectionHidden(const std::string& id, bool hidden);

    // The sections shown, in order.
    std::vector<std::string> visibleSections() const;
    const Gtk::Label& figure(const std::string& id) const;
    // A section's title bar, the handle a drag starts from.
    Gtk::Widget& dragHandle(const std::string& id);
    // What the CPU, GPU and network graphs span: live, or the recorded last
    // hour, day or week.
    Gtk::DropDown& graphSpan() { return spanChoice_; }
    const HistoryGraph* graph(const std::string& id) const;
    // The tracked networks' cards, in order.
    std::vector<UsageCard*> usageCards() const;

private:
    struct Section;
    // The builders of the page's parts, each called once by the constructor.
    std::unique_ptr<Section> buildSectionCard(const std::string& id) const;
    // Drags from the title bar and drops onto the card move the section.
    void makeReorderable(Section& section);
    void addSectionCheck(const std::string& id);
    void buildSpanChoice();
    void buildSectionsMenu();
    void buildCards();
    void showGraphs();
    void applyLayout();
    void setSection(const std::string& id, const std::string& figure, const std::string& detail);
    void showUsage();

    std::shared_ptr<KorvelManager> manager_;
    platform::UserDefaults& defaults_;
    platform::NotificationCenter& notifications_;
    platform::DefaultsObserverToken observer_;
    std::map<std::string, std::unique_ptr<Section>> sections_;
    DataUsage& usage_;
    std::function<void(const std::string&)> openUsage_;
    std::vector<std::unique_ptr<UsageCard>> usageCards_;
    sigc::connection usageRead_;
    std::map<std::string, std::vector<HistoryGraph::Series>> liveGraphs_;
    std::vector<std::string> order_;
    bool dragging_ = false;

    RecordedGraphs recorded_;
    std::chrono::steady_clock::time_point recordedAt_{};
    Gtk::Box bar_{Gtk::Orientation::HORIZONTAL, 6};
    Gtk::DropDown spanChoice_;
    Gtk::MenuButton menuButton_;
    Gtk::Popover menu_;
    Gtk::Box menuBox_{Gtk::Orientation::VERTICAL, 2};
    std::map<std::string, Gtk::CheckButton*> menuChecks_;
    Gtk::ScrolledWindow scroll_;
    Gtk::FlowBox cards_;
};

} // namespace korvel
