#pragma once

#include "companion/usage/network_account.h"
#include "platform/defaults/user_defaults.h"

#include <gtkmm.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

// Each network the history has seen, over its current billing cycle (the
// calendar month without a plan), read on the main loop: a cycle's buckets
// take milliseconds, and they are read again at most every kPeriod, or at
// once when the plans change. Nothing recorded yet reads as no networks.
class DataUsage {
public:
    static constexpr std::chrono::seconds kPeriod{30};

    // A network's cycle day by day and app by app.
    struct Detail {
        usage::NetworkAccount account;
        std::vector<std::pair<usage::TimeSpan, ConnectionCounters>> days;
        std::vector<usage::UsagePart> apps;
    };

    explicit DataUsage(platform::UserDefaults& defaults);
    ~DataUsage();
    DataUsage(const DataUsage&) = delete;
    DataUsage& operator=(const DataUsage&) = delete;

    // Reads again when due; true when it read.
    bool refresh();
    // Most recently seen first.
    const std::vector<usage::NetworkAccount>& accounts() const { return accounts_; }
    // The account of the network with this key, UUID or name.
    const usage::NetworkAccount* account(const std::string& network) const;
    // Read now, whether due or not.
    std::optional<Detail> detail(const std::string& network) const;
    std::vector<usage::DataPlan> plans() const;

    // After each read.
    sigc::signal<void()> read;

private:
    platform::UserDefaults& defaults_;
    platform::DefaultsObserverToken observer_;
    std::vector<usage::NetworkAccount> accounts_;
    std::optional<std::chrono::steady_clock::time_point> readAt_;
};

// The history's networks, most recently seen first; none when nothing is
// recorded yet.
std::vector<usage::NetworkRecord> recordedNetworks();

// "3 days left"; "last day" on the cycle's last day.
std::string daysLeftText(const usage::TimeSpan& cycle, int64_t now);
// What a plan counts: "in and out", "in only", "out only".
std::string countedText(usage::CountedDirection direction);

} // namespace korvel
