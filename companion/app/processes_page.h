#pragma once

#include "companion/app/connection_table.h"
#include "companion/model/net_process.h"
#include "platform/defaults/user_defaults.h"

#include <gtkmm.h>

#include <map>
#include <memory>

namespace korvel {

class KorvelManager;

// A table row: the process without its sockets, which only the selected
// one shows (read from the model then), so that a refresh copies none.
struct ProcessRowValue {
    NetProcess process;
    size_t socketCount = 0;
    std::string user;
};

// The Processes tab: every process in a sortable table updated in place, a
// search over name, path, unit, app id and container, the
// "showSystemProcesses" switch, and below the table the selected process's
// sockets and recently closed sockets (Enter moves there, Escape back), and
// a line for the TCP traffic of sockets no process could be found for.
class ProcessesPage : public Gtk::Box {
public:
    ProcessesPage(std::shared_ptr<KorvelManager> manager, platform::UserDefaults& defaults,
                  HostNameLookup hostName, std::function<void()> refreshNow,
                  std::function<double()> now);
    ~ProcessesPage() override;

    // Takes the manager's processes; call after each merge.
    void update();

    TableModel<ProcessRowValue>& model() { return model_; }
    Gtk::ColumnView& table() { return view_; }
    Gtk::SearchEntry& search() { return search_; }
    ConnectionTable& sockets() { return sockets_; }

private:
    bool keep(const ProcessRowValue& row) const;
    void showSelected();
    const std::string& userName(const std::optional<uint32_t>& uid);

    std::shared_ptr<KorvelManager> manager_;
    platform::UserDefaults& defaults_;
    std::function<double()> now_; // absolute time, for the closed sockets' age
    platform::DefaultsObserverToken observer_;
    std::map<uint32_t, std::string> userNames_;
    std::string searchText_;

    Gtk::Box bar_{Gtk::Orientation::HORIZONTAL, 8};
    Gtk::SearchEntry search_;
    Gtk::CheckButton systemToggle_;
    Gtk::Paned split_{Gtk::Orientation::VERTICAL};
    Gtk::ScrolledWindow tableScroll_;
    Gtk::ColumnView view_;
    TableModel<ProcessRowValue> model_;
    Gtk::Box detail_{Gtk::Orientation::VERTICAL, 4};
    Gtk::Label detailTitle_;
    Gtk::Label detailUsage_; // GPU and storage, for a process that has them
    ConnectionTable sockets_;
    Gtk::Label otherTcp_; // TCP traffic no listed process accounts for, when there is some
};

} // namespace korvel
