#include "companion/app/recorded_graphs.h"

#include "companion/archive/history_location.h"
#include "companion/archive/history_series.h"

#include <cmath>
#include <ctime>

namespace korvel {
namespace {

int64_t spanSeconds(GraphSpan span) {
    switch (span) {
    case GraphSpan::hour:
        return 3600;
    case GraphSpan::day:
        return 86400;
    case GraphSpan::week:
        return 7 * 86400;
    case GraphSpan::live:
        break;
    }
    return 0;
}

History withGaps(const std::vector<std::optional<double>>& slots) {
    History values;
    values.reserve(slots.size());
    for (const auto& value : slots) {
        values.push_back(value.value_or(NAN));
    }
    return values;
}

RecordedGraphs::Values readSpan(GraphSpan span) {
    const auto place = history::historyPlace();
    std::string error;
    auto db = place ? history::openHistoryForReading(*place, error) : std::nullopt;
    const size_t slots = RecordedGraphs::slotsOf(span);
    if (!db) {
        const History empty(slots, NAN);
        return {empty, empty, empty, empty};
    }
    const int64_t now = std::time(nullptr);
    const auto series = history::recordedSeries(*db, now - spanSeconds(span), now, slots);
    return {withGaps(series.cpuPercent), withGaps(series.gpuPercent), withGaps(series.rateIn),
            withGaps(series.rateOut)};
}

} // namespace

size_t RecordedGraphs::slotsOf(GraphSpan span) {
    switch (span) {
    case GraphSpan::hour:
        return 60; // minutes
    case GraphSpan::day:
        return 144; // ten minutes
    case GraphSpan::week:
        return 168; // hours
    case GraphSpan::live:
        break;
    }
    return 0;
}

RecordedGraphs::RecordedGraphs() {
    done_.connect([this] {
        reader_.join();
        reading_ = false;
        std::lock_guard lock(mutex_);
        if (pendingSpan_ == wanted_) {
            values_ = std::move(pending_);
            shownSpan_ = pendingSpan_;
            read.emit();
        } else if (wanted_ != GraphSpan::live) {
            startReader(wanted_);
        }
    });
}

RecordedGraphs::~RecordedGraphs() {
    if (reader_.joinable()) {
        reader_.join();
    }
}

void RecordedGraphs::request(GraphSpan span) {
    wanted_ = span;
    if (span == GraphSpan::live) {
        values_ = {};
        shownSpan_ = span;
        read.emit();
    } else if (!reading_) {
        startReader(span);
    }
}

void RecordedGraphs::startReader(GraphSpan span) {
    reading_ = true;
    reader_ = std::thread([this, span] {
        Values values = readSpan(span);
        {
            std::lock_guard lock(mutex_);
            pending_ = std::move(values);
            pendingSpan_ = span;
        }
        done_.emit();
    });
}

} // namespace korvel
