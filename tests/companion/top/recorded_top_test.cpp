// `top --at`: moments read back from a history the store wrote, a reading
// at a time where the readings are kept and a minute at a time before.

#include "companion/archive/history_location.h"
#include "companion/history/history_store.h"
#include "companion/top/recorded_session.h"
#include "companion/top/top_command.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <ctime>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <tuple>

namespace korvel::top {
namespace {

constexpr int64_t kStart = 1700000040; // a whole minute
constexpr int64_t kPeriod = 5, kEnd = kStart + 300;

// What each reading adds differs from its neighbours', so a step shows its own.
int64_t cpuMSAt(int64_t t) {
    return (t / kPeriod % 3 + 1) * 250;
}
int64_t outAt(int64_t t) {
    return (t / kPeriod % 4 + 1) * 10000;
}

std::string localTime(int64_t t, const char* format) {
    const auto time = static_cast<std::time_t>(t);
    std::tm local{};
    localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// An editor sending over TCP with a UDP socket open, and an idle process;
// the readings of the first three minutes are kept only in their buckets.
void record() {
    std::string error;
    auto db =
        history::openHistoryForWriting(*history::historyPlace(), error, [](const std::string&) {});
    ASSERT_TRUE(db) << error;
    history::HistoryStore store(std::move(*db));
    history::HistoryLimits limits;
    limits.readingSeconds = 120;
    for (int64_t t = kStart - kPeriod; t <= kEnd; t += kPeriod) {
        // What was used since the reading before; the first has none before it.
        const bool first = t == kStart - kPeriod;
        const auto cpuNS = first ? 0 : static_cast<uint64_t>(cpuMSAt(t)) * 1'000'000;
        const auto out = first ? 0 : static_cast<uint64_t>(outAt(t));
        history::HistoryReading r;
        r.time = t;
        r.processes.resize(2);
        history::ProcessSample& editor = r.processes[0];
        std::tie(editor.pid, editor.startTime, editor.name, editor.uid, editor.cpuUsedNS,
                 editor.rssBytes) =
            std::tuple(42, kStart - 100.0, "editor", 1000, cpuNS, 200 << 20);
        editor.bytesUsed.bytesOut = out;
        editor.sockets = {{"TCP", "10.0.0.2", 40000, "192.0.2.7", 443},
                          {"UDP", "0.0.0.0", 5353, "", 0}};
        r.endpoints = {{0, "TCP", "192.0.2.7", 443, {0, out}}};
        std::tie(r.processes[1].pid, r.processes[1].startTime, r.processes[1].name) =
            std::tuple(7, kStart - 100.0, "idle");
        ASSERT_EQ(store.record(r, limits), 0);
    }
}

struct Shown {
    std::string title;
    std::string editorRow;
};

Shown show(RecordedSession& session) {
    FrameOptions options;
    std::tie(options.width, options.height) = std::tuple(120, 0);
    Frame frame = renderFrame(session.model(), session.state(), options);
    Shown shown{frame.lines.at(0).text, ""};
    for (const FrameLine& line : frame.lines) {
        shown.editorRow =
            line.text.find("editor") != std::string::npos ? line.text : shown.editorRow;
    }
    return shown;
}

std::string cpuCell(double percent) {
    char text[16];
    std::snprintf(text, sizeof text, " %.1f ", percent);
    return text;
}

void press(RecordedSession& session, char32_t key) {
    const Frame drawn = renderFrame(session.model(), session.state(), {});
    Key pressed;
    pressed.character = key;
    session.apply(commandForKey(pressed, session.state()), drawn);
}

TEST(RecordedTopTest, ReadingsAndMinutesSteppedWithBracketsShowWhatWasRecorded) {
    testing::TempDir dir;
    testing::ScopedEnv state("XDG_STATE_HOME", dir.str());
    record();
    std::ostringstream out, err;
    const std::string at = localTime(kEnd - 60, "%Y-%m-%d %H:%M");
    ASSERT_EQ(runTopCommand({"--at", at, "--json"}, out, err), 0) << err.str();
    const auto json = nlohmann::json::parse(out.str());
    EXPECT_EQ(json["recorded"],
              (nlohmann::json{{"time", kEnd - 60}, {"bucketSeconds", 0}, {"seconds", kPeriod}}));
    ASSERT_EQ(json["processes"].size(), 2u);
    for (const auto& p : json["processes"]) {
        const bool editor = p["pid"] == 42;
        EXPECT_DOUBLE_EQ(p["cpuPercent"], editor ? cpuMSAt(kEnd - 60) / 50.0 : 0) << p;
        EXPECT_DOUBLE_EQ(p["rateOut"], editor ? outAt(kEnd - 60) / 5.0 : 0) << p;
        EXPECT_EQ(p["memBytes"], editor ? 200 << 20 : 0) << p;
        EXPECT_EQ(p["socketCount"], editor ? 2 : 0) << p;
    }

    std::string error;
    auto session = RecordedSession::open(kEnd - 60, error);
    ASSERT_TRUE(session) << error;
    for (const auto& [key, time] :
         {std::pair{U']', kEnd - 55}, std::pair{U'[', kEnd - 60}, std::pair{U'[', kEnd - 65}}) {
        press(*session, key);
        const Shown shown = show(*session);
        EXPECT_NE(shown.title.find("recorded " + localTime(time, "%Y-%m-%d %H:%M:%S") +
                                   "  one reading, 5 s"),
                  std::string::npos)
            << shown.title;
        EXPECT_NE(shown.editorRow.find(cpuCell(cpuMSAt(time) / 50.0)), std::string::npos)
            << shown.editorRow;
    }

    // Before the readings kept: the minute holding the time, as its sums.
    session = RecordedSession::open(kStart + 90, error);
    ASSERT_TRUE(session) << error;
    for (const auto& [key, minute] :
         {std::pair{U'[', kStart}, std::pair{U']', kStart + 60}, std::pair{U']', kStart + 120}}) {
        press(*session, key);
        int64_t cpuMS = 0, bytes = 0;
        for (int64_t t = minute; t < minute + 60; t += kPeriod) {
            std::tie(cpuMS, bytes) = std::tuple(cpuMS + cpuMSAt(t), bytes + outAt(t));
        }
        const TopModel& model = session->model();
        EXPECT_EQ(model.recorded->unixTime, minute);
        EXPECT_NE(show(*session).title.find(localTime(minute, "%H:%M") + "  one-minute bucket"),
                  std::string::npos);
        ASSERT_EQ(model.processes.size(), 2u);
        const NetProcess& editor = model.processes[model.processes[0].id == 42 ? 0 : 1];
        EXPECT_DOUBLE_EQ(editor.cpuPercent, static_cast<double>(cpuMS) / 600);
        EXPECT_DOUBLE_EQ(editor.rateOut.value_or(-1), static_cast<double>(bytes) / 60);
    }
    // The minute after is where the readings kept begin.
    press(*session, U']');
    EXPECT_EQ(session->model().recorded->bucketSeconds, 0);
    EXPECT_EQ(session->model().recorded->unixTime, kStart + 180);

    // A time before the history opens on its first minute, not an hour holding it.
    session = RecordedSession::open(kStart - 86400, error);
    ASSERT_TRUE(session) << error;
    EXPECT_EQ(std::tuple(session->model().recorded->unixTime, session->model().recorded->earlier),
              std::tuple(kStart - 60, false));

    for (const char* bad : {"soon", "25:00"}) {
        std::ostringstream badOut, badErr;
        EXPECT_EQ(runTopCommand({"--at", bad}, badOut, badErr), 2) << bad;
        EXPECT_NE(badErr.str().find("--at needs a time such as 3h"), std::string::npos);
    }
}

} // namespace
} // namespace korvel::top
