#pragma once

#include "companion/app/connection_table.h"
#include "companion/app/usage_view.h"
#include "companion/model/interface_stat.h"
#include "companion/model/network_path_summary.h"
#include "platform/defaults/user_defaults.h"

#include <gtkmm.h>

#include <map>
#include <memory>

namespace korvel {

class KorvelManager;

// The Connections tab: every socket of every listed process, with a text
// filter; listening sockets only while "showListeningPorts" is on.
class ConnectionsPage : public Gtk::Box {
public:
    ConnectionsPage(std::shared_ptr<KorvelManager> manager, platform::UserDefaults& defaults,
                    HostNameLookup hostName);
    ~ConnectionsPage() override;

    void update();

private:
    void followListeningSetting();

    std::shared_ptr<KorvelManager> manager_;
    platform::UserDefaults& defaults_;
    platform::DefaultsObserverToken observer_;
    Gtk::SearchEntry filter_;
    ConnectionTable table_;
};

struct InterfaceRowValue {
    InterfaceStat stat;
    bool primary = false;
    double peakIn = 0; // since the window was opened
    double peakOut = 0;
};

// The Interfaces tab: each interface with its family, live rates, totals and
// peaks, the primary one marked, and the network path below; beside them,
// the data each network used this cycle.
class InterfacesPage : public Gtk::Box {
public:
    InterfacesPage(std::shared_ptr<KorvelManager> manager, DataUsage& usage);

    void update();
    // Switches to the usage of the network with this key, UUID or name.
    void showUsage(const std::string& network);
    bool showsUsage() const { return views_.get_visible_child_name() == "usage"; }
    UsageView& usage() { return usage_; }
    // Raises the peaks to the last merge's rates: the window calls it after
    // every merge, whichever tab it shows.
    void notePeaks();

    TableModel<InterfaceRowValue>& model() { return model_; }

private:
    std::shared_ptr<KorvelManager> manager_;
    std::map<std::string, std::pair<double, double>> peaks_;
    Gtk::StackSwitcher switcher_;
    Gtk::Stack views_;
    Gtk::Box live_{Gtk::Orientation::VERTICAL, 8};
    UsageView usage_;
    Gtk::ScrolledWindow scroll_;
    Gtk::ColumnView view_;
    TableModel<InterfaceRowValue> model_;
    Gtk::Label path_;
};

// "Online · Wi-Fi · wlan0 192.168.1.20 · VPN", localised.
std::string pathSummaryText(const NetworkPathSummary& path);

} // namespace korvel
