#pragma once

#include "companion/app/background_read.h"

#include "companion/usage/network_usage.h"
#include "platform/defaults/user_defaults.h"

#include <gtkmm.h>

#include <memory>
#include <string>
#include <vector>

namespace korvel {

// The settings window's "Data plans": each network the history has seen,
// with its plan's cap (0 for none), the day its cycle starts, the share to
// warn at and what it counts, kept in "dataPlans". The plans of networks not
// listed, and entries the companion cannot read, stay as they were.
class DataPlanControls : public Gtk::Box {
public:
    explicit DataPlanControls(platform::UserDefaults& defaults);
    ~DataPlanControls() override;

    // Reads the networks off the main loop, then lists them.
    void readNetworks();
    // The keys of the networks listed, in order.
    std::vector<std::string> networks() const;
    // A listed network's cap, in the unit beside it.
    Gtk::SpinButton& cap(const std::string& key);

private:
    struct Row;
    void list(std::vector<usage::NetworkRecord> networks);
    void addRow(const usage::NetworkRecord& network);
    void load();
    void store(const Row& row);

    platform::UserDefaults& defaults_;
    platform::DefaultsObserverToken observer_;
    bool loading_ = false;
    std::vector<std::unique_ptr<Row>> rows_;

    Gtk::Label caption_;
    Gtk::Box card_{Gtk::Orientation::VERTICAL, 0};
    BackgroundRead<std::vector<usage::NetworkRecord>> networksRead_;
};

} // namespace korvel
