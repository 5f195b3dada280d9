#include "platform/log/log_sink.h"

#include "platform/log/report_line.h"
#include "platform/system/text_file.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <glib.h>
#include <unistd.h>

namespace korvel::platform::log {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

std::atomic<bool> routineRecordsOffStderr{false};

bool journalPresent() {
    // Checked once: the journal does not come or go while we run, and a
    // stat per record would be wasted work.
    static const bool present =
        g_log_writer_is_journald(STDERR_FILENO) || g_file_test(kJournalSocket, G_FILE_TEST_EXISTS);
    return present;
}

bool debugRequested() {
    static const bool enabled = [] {
        const char* value = std::getenv("KORVEL_DEBUG");
        return value != nullptr && value[0] != '\0' && std::string_view(value) != "0";
    }();
    return enabled;
}

GLogLevelFlags glibLevel(Level level) {
    switch (level) {
    case Level::debug:
        return G_LOG_LEVEL_DEBUG;
    case Level::error:
        return G_LOG_LEVEL_WARNING;
    case Level::fault:
        return G_LOG_LEVEL_CRITICAL;
    case Level::info:
        break;
    }
    return G_LOG_LEVEL_INFO;
}

bool writeToJournal(const LogRecord& record) {
    const auto fields = journalFields(record, programName());
    std::vector<GLogField> glibFields;
    glibFields.reserve(fields.size());
    for (const auto& [key, value] : fields) {
        glibFields.push_back({key.c_str(), value.c_str(), static_cast<gssize>(value.size())});
    }
    // The writer is called directly rather than through g_log_structured: that
    // one aborts the program on G_LOG_LEVEL_ERROR and applies GLib's filters.
    return g_log_writer_journald(glibLevel(record.level), glibFields.data(), glibFields.size(),
                                 nullptr) == G_LOG_WRITER_HANDLED;
}

} // namespace

std::vector<std::pair<std::string, std::string>> journalFields(const LogRecord& record,
                                                               std::string_view identifier) {
    return {
        {"MESSAGE", record.message},
        {"PRIORITY", std::to_string(syslogPriority(record.level))},
        {"SUBSYSTEM", record.subsystem},
        {"CATEGORY", record.category},
        {"SYSLOG_IDENTIFIER", std::string(identifier)},
    };
}

std::string stderrLogLine(const LogRecord& record, std::string_view program, long pid) {
    // A report line whose message leads with where the record came from.
    return reportLineText(program, pid,
                          "[" + record.subsystem + ":" + record.category + "] " +
                              levelName(record.level) + ": " + record.message);
}

void writeStderrLine(std::string_view line) {
    // Nowhere to report a failure to write the report.
    (void)writeAll(STDERR_FILENO, line);
}

std::string_view programName() {
    const char* name = g_get_prgname();
    return name != nullptr ? name : program_invocation_short_name;
}

long processId() {
    return static_cast<long>(::getpid());
}

void writeToSystemLog(const LogRecord& record, const SystemLogTargets& targets) {
    if (record.level == Level::debug && !targets.debugRequested) {
        return;
    }
    if (targets.journal && targets.journal(record)) {
        return;
    }
    if (targets.stderrFailuresOnly && record.level != Level::error &&
        record.level != Level::fault) {
        return;
    }
    targets.stderrLine(stderrLogLine(record, programName(), processId()));
}

void writeToSystemLog(const LogRecord& record) {
    static const SystemLogTargets targets{
        journalPresent() ? std::function<bool(const LogRecord&)>(writeToJournal) : nullptr,
        writeStderrLine, debugRequested()};
    static const SystemLogTargets failuresOnly = [] {
        SystemLogTargets quiet = targets;
        quiet.stderrFailuresOnly = true;
        return quiet;
    }();
    writeToSystemLog(record, routineRecordsOffStderr ? failuresOnly : targets);
}

void keepRoutineRecordsOffStderr() {
    routineRecordsOffStderr = true;
}

} // namespace korvel::platform::log
