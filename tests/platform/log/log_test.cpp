#include "platform/log/logger.h"
#include "platform/log/report_line.h"

#include <gtest/gtest.h>
#include <map>

namespace korvel::platform::log {
namespace {

TEST(UnifiedLogTest, JournalRecordsCarryPriorityAndNamesAndStderrLinesAreSingleLines) {
    const std::pair<Level, std::string> priorities[] = {
        {Level::info, "6"}, {Level::debug, "7"}, {Level::error, "3"}, {Level::fault, "2"}};
    for (const auto& [level, priority] : priorities) {
        const auto fields = journalFields({level, "qn.Korvel", "XPC", "XPC connection created"},
                                          "korvel-companion");
        // A multimap shows a duplicated field; the order is free.
        EXPECT_EQ(
            (std::multimap<std::string, std::string>(fields.begin(), fields.end())),
            (std::multimap<std::string, std::string>{{"MESSAGE", "XPC connection created"},
                                                     {"PRIORITY", priority},
                                                     {"SUBSYSTEM", "qn.Korvel"},
                                                     {"CATEGORY", "XPC"},
                                                     {"SYSLOG_IDENTIFIER", "korvel-companion"}}));
    }
    EXPECT_EQ(stderrLogLine({Level::fault, "qn.Korvel", "XPC", "XPC connection interrupted"},
                            "korvel-companion", 4242),
              "korvel-companion[4242]: [qn.Korvel:XPC] fault: XPC connection interrupted\n");
    EXPECT_EQ(stderrLogLine({Level::error, "s", "c", "two\nlines\r\tand\x7f"}, "p", 1),
              "p[1]: [s:c] error: two lines  and \n");
    EXPECT_EQ(reportLineText("korvel-companion", 17, "Korvel: failed\nto save"),
              "korvel-companion[17]: Korvel: failed to save\n");
}

TEST(UnifiedLogTest, DebugRecordsGoNowhereUnlessAskedAndCommandsPrintOnlyFailures) {
    for (const bool failuresOnly : {false, true}) {
        for (const bool requested : {false, true}) {
            for (const bool journal : {true, false}) {
                std::vector<std::string> journalled, printed;
                SystemLogTargets targets;
                if (journal) {
                    targets.journal = [&](const LogRecord& r) {
                        journalled.push_back(r.message);
                        return true;
                    };
                }
                targets.stderrLine = [&](std::string_view line) { printed.emplace_back(line); };
                targets.debugRequested = requested;
                targets.stderrFailuresOnly = failuresOnly;
                for (const Level level : {Level::debug, Level::info, Level::error, Level::fault}) {
                    writeToSystemLog({level, "qn.Korvel", "XPC", levelName(level)}, targets);
                }
                // The journal takes every record asked for; stderr only failures when told.
                std::vector<std::string> want{"info", "error", "fault"};
                if (requested) {
                    want.insert(want.begin(), "debug");
                }
                if (!journal && failuresOnly) {
                    want = {"error", "fault"};
                }
                std::vector<std::string> got = journalled;
                for (const std::string& line : printed) {
                    got.push_back(
                        line.substr(line.rfind(' ') + 1, line.size() - line.rfind(' ') - 2));
                }
                EXPECT_EQ(got, want) << "journal " << journal << ", asked for " << requested
                                     << ", failures only " << failuresOnly;
                EXPECT_TRUE((journal ? printed : journalled).empty());
            }
        }
    }
}

} // namespace
} // namespace korvel::platform::log
