#include "companion/archive/history_location.h"
#include "companion/archive/history_series.h"
#include "companion/history/history_store.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace korvel::history {
namespace {

TEST(RecordedSeriesTest, SlotsHoldWhatWasRecordedAndGapsWhereNothingWas) {
    testing::TempDir dir;
    std::string error;
    auto db = openHistoryForWriting({dir.str(), "korvel"}, error, [](const std::string&) {});
    ASSERT_TRUE(db) << error;
    HistoryStore store(std::move(*db));
    // Ten minutes of readings, ten of nothing (the companion was off), ten
    // more with a GPU reading: 1,000 B/s in and 200 out on eth0, ten times
    // that on loopback.
    constexpr int64_t kStart = 1700000040; // on a minute
    for (int64_t t = kStart; t < kStart + 1800; t += 5) {
        if (t >= kStart + 600 && t < kStart + 1200) {
            continue;
        }
        // What each reading moved since the one before it; the first had none.
        const uint64_t in = t == kStart ? 0 : 5000, out = t == kStart ? 0 : 1000;
        HistoryReading reading;
        reading.time = t;
        reading.system.cpuPercent = t < kStart + 600 ? 20 : 60;
        if (t >= kStart + 1200) {
            reading.system.gpuPercent = 30;
        }
        reading.interfaces = {{"eth0", {in, out}}, {"lo", {in * 10, out * 10}}};
        ASSERT_EQ(store.record(reading, {}), 0);
    }

    const RecordedSeries series = recordedSeries(store.database(), kStart, kStart + 1800, 30);
    ASSERT_EQ(series.cpuPercent.size(), 30u);
    ASSERT_EQ(series.rateOut.size(), 30u);
    for (size_t slot = 1; slot < 30; ++slot) {
        const bool recorded = slot < 10 || slot >= 20;
        EXPECT_EQ(series.cpuPercent[slot].has_value(), recorded) << slot;
        EXPECT_EQ(series.rateIn[slot].has_value(), recorded) << slot;
        if (recorded) {
            EXPECT_DOUBLE_EQ(*series.cpuPercent[slot], slot < 10 ? 20 : 60) << slot;
            EXPECT_DOUBLE_EQ(*series.rateIn[slot], 1000) << slot;
            EXPECT_DOUBLE_EQ(*series.rateOut[slot], 200) << slot;
            EXPECT_EQ(series.gpuPercent[slot], slot < 10 ? std::nullopt : std::optional(30.0))
                << slot;
        }
    }
    // A slot wider than a bucket: the mean of every reading in it, the gap
    // not counted; the bytes over all of it.
    const RecordedSeries across = recordedSeries(store.database(), kStart + 300, kStart + 1500, 1);
    EXPECT_DOUBLE_EQ(*across.cpuPercent[0], 40);
    EXPECT_DOUBLE_EQ(*across.gpuPercent[0], 30);
    EXPECT_DOUBLE_EQ(*across.rateIn[0], 500);
    EXPECT_TRUE(recordedSeries(store.database(), kStart + 1800, kStart, 10).cpuPercent.empty());
}

} // namespace
} // namespace korvel::history
