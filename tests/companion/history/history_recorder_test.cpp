#include "companion/history/history_query.h"
#include "companion/history/history_reading.h"
#include "companion/history/history_recorder.h"
#include "tests/companion/engine/manager_fixture.h"
#include "tests/support/temp_dir.h"

namespace korvel::history {
namespace {

class HistoryRecorderTest : public korvel::testing::ManagerFixture {};

// The engine's own path: a merge posts, the recorder copies the model and
// writes it on its queue, and the command's query reads it back.
TEST_F(HistoryRecorderTest, EveryMergedReadingIsWrittenOnTheRecordersQueue) {
    korvel::testing::TempDir dir;
    const HistoryPlace place{dir.str(), "korvel"};
    start();
    HistoryRecorder recorder(manager, place, dispatch, defaults);
    HelperProcessData sender{42, "sender", "/bin/sender", 0, 1 << 20};
    sender.startTime = dispatch.now() - 60;
    HelperConnectionData socket{42, "TCP", "10.0.0.2", 40000, "198.51.100.9", 443, 1, 0, 0};
    const auto merge = [&](uint64_t sent) {
        socket.bytesOut = sent;
        answer(requests.size() - 1, reading(dispatch.now(), {sender}, {socket}));
        dispatch.advance(5);
        manager->refresh();
    };
    merge(1000);
    merge(5'001'000);
    defaults.setBool(settings::kHistoryEnabled, false);
    merge(9'001'000);

    std::string error;
    auto db = openHistoryForReading(place, error);
    ASSERT_TRUE(db) << error;
    const auto now = static_cast<int64_t>(unixTime(dispatch.now()));
    const auto top =
        topUsage(*db, {now - 60, now + 1, {}, {}, 10}, Measure::out, Grouping::process);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].label, "sender (42)");
    EXPECT_EQ(top[0].bytesOut, 5'000'000) << "counted from the first reading, not after it is off";
}

} // namespace
} // namespace korvel::history
