#include "platform/log/logger.h"
#include "platform/log/ns_log.h"

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
    EXPECT_EQ(nsLogLine("korvel-companion", 17, "Korvel: failed\nto save"),
              "korvel-companion[17]: Korvel: failed to save\n");
}

TEST(UnifiedLogTest, DebugRecordsGoNowhereUnlessAskedForJournalIncluded) {
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
            writeToSystemLog({Level::debug, "qn.Korvel", "XPC", "fetched"}, targets);
            writeToSystemLog({Level::error, "qn.Korvel", "XPC", "failed"}, targets);
            EXPECT_EQ((journal ? journalled : printed).size(), requested ? 2u : 1u)
                << "journal " << journal << ", asked for " << requested;
            EXPECT_TRUE((journal ? printed : journalled).empty());
        }
    }
}

} // namespace
} // namespace korvel::platform::log
