#pragma once

#include "companion/archive/sqlite_database.h"
#include "companion/history/history_reading.h"
#include "companion/usage/network_account.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace korvel::history {

// A network's plan reaching its warning share, or its cap.
struct PlanEvent {
    std::string network; // its name
    bool capReached = false;
    uint64_t counted = 0;
    uint64_t capBytes = 0;
    int percent = 0; // of the cap the event stands for: the warning share, or 100
    std::vector<std::pair<std::string, uint64_t>> topApps; // the cycle's busiest, bytes both ways
};

std::string planEventSummary(const PlanEvent& event);
std::string planEventBody(const PlanEvent& event);

// What one app moved, over every network, within a short window.
struct AppSurge {
    std::string app;
    uint64_t bytes = 0;
    int64_t minutes = 0;
};

// "Notify when one app moves more than `bytes` in `seconds`"; 0 bytes: off.
struct AppAlert {
    uint64_t bytes = 0;
    int64_t seconds = 600;
};

// What the desktop and the journal are told, and the network it is about
// (none for an app's).
struct Notice {
    std::string summary;
    std::string body;
    std::string network = {};
};
Notice noticeOf(const PlanEvent& event);
Notice noticeOf(const AppSurge& surge);

// After each reading written: each tracked network's cycle so far (a
// network with a plan, or one the connection manager calls metered). A plan
// crossing its warning share, and then its cap, is told once each per cycle
// (the database remembers what was told, across restarts), and the accounts
// are written as Prometheus series beside the export's file. An app moving
// more than the app alert allows within its window is told, at most once a
// window.
class PlanWatch {
public:
    struct Outlets {
        std::function<void(const Notice&)> tell;
        // node_exporter's textfile directory; empty: no series.
        std::function<std::string()> textfileDirectory;
    };
    explicit PlanWatch(Outlets outlets) : outlets_(std::move(outlets)) {}

    void afterWrite(Database& db, const std::vector<usage::DataPlan>& plans, int64_t now);
    // What the apps of a reading moved over the networks, for the app alert.
    void noteReading(const HistoryReading& reading, const AppAlert& alert);

private:
    void writeSeries(const std::vector<usage::NetworkAccount>& tracked);

    Outlets outlets_;
    std::string writtenDirectory_;
    // The readings within the app alert's window: their time, bytes per app.
    std::deque<std::pair<int64_t, std::map<std::string, uint64_t>>> recent_;
    std::map<std::string, int64_t> appToldAt_;
};

// The series of the tracked networks, in the text exposition format.
std::string usageExposition(const std::vector<usage::NetworkAccount>& tracked);

inline constexpr const char* kUsageTextfileName = "korvel-usage.prom";

} // namespace korvel::history
