#pragma once

#include "companion/app/list_columns.h"
#include "companion/model/closed_connection.h"
#include "companion/model/net_connection.h"

#include <gtkmm.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// One socket as a table shows it: open, or closed a while ago.
struct SocketRowValue {
    NetConnection connection;
    std::string process;
    std::optional<std::string> closedAgo{}; // "12 s" while recently closed
};

// A remote address's host name, when names are wanted and one is known.
using HostNameLookup = std::function<std::optional<std::string>(const std::string& address)>;

// ASCII letters in lower case, for filters that ignore case.
std::string lowered(std::string text);
// A rate, or "—" when not measured.
std::string rateText(const std::optional<double>& rate);

// Listening TCP sockets and UDP sockets with no peer.
bool isListeningSocket(const NetConnection& connection);

// A sortable table of sockets, updated in place, with a text filter (process,
// addresses, ports, protocol, state) and a switch for listening sockets.
class ConnectionTable : public Gtk::ScrolledWindow {
public:
    ConnectionTable(HostNameLookup hostName, bool withProcessColumn,
                    const std::string& accessibleName);

    void show(std::vector<SocketRowValue> rows);
    void setFilterText(std::string text);
    void setShowListening(bool show);

    Gtk::ColumnView& view() { return view_; }
    TableModel<SocketRowValue>& model() { return model_; }

private:
    bool keep(const SocketRowValue& row) const;

    HostNameLookup hostName_;
    std::string filterText_;
    bool showListening_ = true;
    Gtk::ColumnView view_;
    TableModel<SocketRowValue> model_;
};

} // namespace korvel
