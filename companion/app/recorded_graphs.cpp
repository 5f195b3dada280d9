#include "companion/app/recorded_graphs.h"

#include "companion/archive/history_location.h"
#include "companion/archive/history_series.h"

#include <cmath>
#include <ctime>

namespace korvel {
namespace {

// Each span's length and slots, in GraphSpan's order: the last hour in
// minutes, the last day in ten minutes, the last week in hours.
struct SpanCut {
    int64_t seconds;
    size_t slots;
};
constexpr SpanCut kCuts[] = {{0, 0}, {3600, 60}, {86400, 144}, {7 * 86400, 168}};

const SpanCut& cutOf(GraphSpan span) {
    return kCuts[static_cast<size_t>(span)];
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
    const size_t slots = cutOf(span).slots;
    if (!db) {
        const History empty(slots, NAN);
        return {empty, empty, empty, empty};
    }
    const int64_t now = std::time(nullptr);
    const auto series = history::recordedSeries(*db, now - cutOf(span).seconds, now, slots);
    return {withGaps(series.cpuPercent), withGaps(series.gpuPercent), withGaps(series.rateIn),
            withGaps(series.rateOut)};
}

} // namespace

size_t RecordedGraphs::slotsOf(GraphSpan span) {
    return cutOf(span).slots;
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
