#include "platform/log/logger.h"
#include "platform/log/ns_log.h"
#include "tests/support/temp_dir.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

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

TEST(UnifiedLogTest, RecordsGoToTheInstalledSinkOrToTheLoggersOwn) {
    std::vector<LogRecord> captured;
    const auto previous = exchangeLogSink([&](const LogRecord& r) { captured.push_back(r); });
    EXPECT_FALSE(previous) << "the system log is the default";

    Logger("qn.Korvel", "XPC").fault("a");
    std::vector<LogRecord> own;
    Logger("qn.Korvel", "Other", [&](const LogRecord& r) { own.push_back(r); }).error("b");
    EXPECT_TRUE(exchangeLogSink({}));

    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].level, Level::fault);
    EXPECT_EQ(captured[0].subsystem + "/" + captured[0].category + " " + captured[0].message,
              "qn.Korvel/XPC a");
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].category, "Other");

    std::vector<std::string> lines;
    exchangeNSLogSink([&](const std::string& m) { lines.push_back(m); });
    nsLog("Korvel: one");
    exchangeNSLogSink({});
    EXPECT_EQ(lines, std::vector<std::string>{"Korvel: one"});
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

template <typename Body> std::string stderrOf(Body body) {
    testing::TempDir dir;
    const auto path = dir.path() / "stderr";
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(file, STDERR_FILENO);
    ::close(file);
    body();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return dir.read(path);
}

TEST(UnifiedLogTest, WithoutAJournalRecordsAreStderrLinesAndDebugStaysQuiet) {
    if (::access("/run/systemd/journal/socket", F_OK) == 0) {
        GTEST_SKIP() << "records go to the journal here";
    }
    const char* debug = std::getenv("KORVEL_DEBUG");
    if (debug != nullptr && *debug != '\0' && std::string(debug) != "0") {
        GTEST_SKIP() << "KORVEL_DEBUG asks for debug records";
    }
    const auto text = stderrOf([] {
        const Logger xpc("qn.Korvel", "XPC");
        xpc.debug("quiet by default");
        xpc.error("XPC connection invalidated");
        nsLog("Korvel: failed to save external advanced snapshot: disk full");
    });
    const std::string prefix =
        std::string(programName()) + "[" + std::to_string(processId()) + "]: ";
    EXPECT_EQ(text, prefix + "[qn.Korvel:XPC] error: XPC connection invalidated\n" + prefix +
                        "Korvel: failed to save external advanced snapshot: disk full\n");
}

} // namespace
} // namespace korvel::platform::log
