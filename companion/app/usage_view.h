#pragma once

#include "companion/app/data_usage.h"

#include <gtkmm.h>

#include <memory>
#include <string>
#include <vector>

namespace korvel {

class KorvelManager;

// A cycle's days as bars, bytes in below bytes out, one slot per day of the
// cycle so that the days to come stay empty.
class DayBars : public Gtk::DrawingArea {
public:
    DayBars();
    void show(usage::TimeSpan cycle,
              std::vector<std::pair<usage::TimeSpan, ConnectionCounters>> days);

private:
    void draw(const Cairo::RefPtr<Cairo::Context>& cr, int width, int height) const;

    usage::TimeSpan cycle_;
    std::vector<std::pair<usage::TimeSpan, ConnectionCounters>> days_;
};

// The Interfaces tab's usage: one network's cycle (the primary network's
// until another is chosen) day by day, and the apps that used it, "other"
// last, so that they add up to the network's total.
class UsageView : public Gtk::Box {
public:
    UsageView(std::shared_ptr<KorvelManager> manager, DataUsage& usage);
    ~UsageView() override;

    // Reads the history when due.
    void update();
    // Chooses the network by its key, UUID or name, and reads its cycle.
    void showNetwork(const std::string& network);

    const DataUsage::Detail& detail() const { return detail_; }

private:
    void listNetworks();
    void showDetail();

    std::shared_ptr<KorvelManager> manager_;
    DataUsage& usage_;
    std::vector<std::string> keys_;
    std::string shown_;
    bool stale_ = true;
    bool listing_ = false;
    sigc::connection reads_;
    DataUsage::Detail detail_;

    Gtk::DropDown choice_;
    Gtk::Label summary_;
    DayBars bars_;
    Gtk::ScrolledWindow scroll_;
    Gtk::Grid apps_;
};

} // namespace korvel
