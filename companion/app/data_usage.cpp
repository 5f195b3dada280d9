#include "companion/app/data_usage.h"

#include "companion/app/localization.h"
#include "companion/archive/history_location.h"

#include <ctime>

namespace korvel {
namespace {

// The history opened for reading, or none while nothing is recorded: no
// file yet, or one older than the networks' tables.
std::optional<history::Database> openUsage() {
    const auto place = history::historyPlace();
    std::string error;
    auto db = place ? history::openHistoryForReading(*place, error) : std::nullopt;
    if (db &&
        db->integerOf("SELECT count(*) FROM sqlite_master WHERE name = 'network'").value_or(0) ==
            0) {
        return std::nullopt;
    }
    return db;
}

} // namespace

DataUsage::DataUsage(platform::UserDefaults& defaults) : defaults_(defaults) {
    observer_ = defaults_.addObserver(usage::kDataPlansKey, [this](const std::string&) {
        // Only for those who have read: the others read when they look.
        if (readAt_) {
            readAt_.reset();
            refresh();
        }
    });
}

DataUsage::~DataUsage() {
    defaults_.removeObserver(observer_);
}

std::vector<usage::DataPlan> DataUsage::plans() const {
    return usage::plansFrom(defaults_.object(usage::kDataPlansKey).value_or(nullptr));
}

bool DataUsage::refresh() {
    const auto now = std::chrono::steady_clock::now();
    if (readAt_ && now - *readAt_ < kPeriod) {
        return false;
    }
    readAt_ = now;
    accounts_.clear();
    if (auto db = openUsage()) {
        const auto plans = this->plans();
        const int64_t time = std::time(nullptr);
        usage::NetworkUsage usage(*db);
        for (const auto& network : usage.networks()) {
            const auto plan = usage::planFor(plans, network);
            accounts_.push_back(
                usage::accountOf(usage, network, plan, usage::currentCycle(plan, time), time));
        }
    }
    read.emit();
    return true;
}

const usage::NetworkAccount* DataUsage::account(const std::string& network) const {
    for (const auto& account : accounts_) {
        if (account.network.isNamed(network)) {
            return &account;
        }
    }
    return nullptr;
}

std::optional<DataUsage::Detail> DataUsage::detail(const std::string& network) const {
    auto db = openUsage();
    if (!db) {
        return std::nullopt;
    }
    usage::NetworkUsage usage(*db);
    for (const auto& record : usage.networks()) {
        if (record.isNamed(network)) {
            const int64_t now = std::time(nullptr);
            const auto plan = usage::planFor(plans(), record);
            const auto account =
                usage::accountOf(usage, record, plan, usage::currentCycle(plan, now), now);
            return Detail{account, usage.days(record.id, account.span),
                          usage::partsOf(usage, account, true)};
        }
    }
    return std::nullopt;
}

std::vector<usage::NetworkRecord> recordedNetworks() {
    auto db = openUsage();
    return db ? usage::NetworkUsage(*db).networks() : std::vector<usage::NetworkRecord>{};
}

std::string daysLeftText(const usage::TimeSpan& cycle, int64_t now) {
    const int64_t days = (cycle.end - now + 86399) / 86400;
    if (days <= 1) {
        return localized("last day");
    }
    return std::to_string(days) + " " + localized("days left");
}

std::string countedText(usage::CountedDirection direction) {
    switch (direction) {
    case usage::CountedDirection::in:
        return localized("in only");
    case usage::CountedDirection::out:
        return localized("out only");
    case usage::CountedDirection::both:
        break;
    }
    return localized("in and out");
}

} // namespace korvel
