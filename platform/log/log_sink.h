#pragma once

#include "platform/log/log_record.h"

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::platform::log {

using LogSink = std::function<void(const LogRecord&)>;

// The system log: a structured journal record when the journal is reachable,
// else one line on stderr. Debug records go nowhere, journal included, unless
// KORVEL_DEBUG is set (to anything but "" or "0"): one per fetch would fill
// the journal with thousands a day.
void writeToSystemLog(const LogRecord& record);

// For the rest of the process, info and debug records stay off stderr: a
// command's terminal is the user's, not a log.
void keepRoutineRecordsOffStderr();

// Where the system log writes: the real journal and stderr, or a test's.
struct SystemLogTargets {
    // False when the record was not taken; empty when there is no journal.
    std::function<bool(const LogRecord&)> journal;
    std::function<void(std::string_view line)> stderrLine;
    bool debugRequested = false;
    // Only errors and faults reach stderr; the rest goes to the journal or nowhere.
    bool stderrFailuresOnly = false;
};
void writeToSystemLog(const LogRecord& record, const SystemLogTargets& targets);

// The journal fields of a record, in the order they are sent.
std::vector<std::pair<std::string, std::string>> journalFields(const LogRecord& record,
                                                               std::string_view identifier);

// "prog[pid]: [subsystem:category] level: message", newline included; control
// characters in the message become spaces so a record is always one line.
std::string stderrLogLine(const LogRecord& record, std::string_view program, long pid);

// Writes a whole line to stderr, unbuffered; short writes are continued.
void writeStderrLine(std::string_view line);

// The running program's short name and process id, as log lines show them.
std::string_view programName();
long processId();

} // namespace korvel::platform::log
