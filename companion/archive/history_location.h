#pragma once

#include "companion/archive/sqlite_database.h"
#include "platform/program/instance_lock.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel::history {

inline constexpr const char* kHistoryFileName = "history.sqlite3";
inline constexpr const char* kHistoryLockName = "history.lock";

// Where the history lives: a base directory (followed if it is a link) and
// the private directories below it, opened one step at a time as the
// snapshot's are.
struct HistoryPlace {
    std::string base;
    std::string relative;
    std::string path() const { return base + "/" + relative + "/" + kHistoryFileName; }
};

// $XDG_STATE_HOME/korvel when that is an absolute path, else
// ~/.local/state/korvel; none without a home directory.
std::optional<HistoryPlace> historyPlace();

// One writer per history, however its engines were started: the lock file
// beside the database, held for as long as the writer runs. No lock, and why
// in error, when another engine holds it or the place is not ours; the
// directory is created (with its missing parents that would be ours) first.
std::unique_ptr<platform::InstanceLock> lockHistoryForWriting(const HistoryPlace& place,
                                                              std::string& error);

// Opens the recorder's database, made 0600 in a 0700 directory, with its
// schema brought up to date. A file that will not open as a database or
// fails its quick check is renamed "history.sqlite3.broken-<date>" (never
// over another) and a new one is started; `say` hears of it once. No value,
// and the reason in error, when the place is not the user's own or a link,
// or no database can be had.
std::optional<Database> openHistoryForWriting(const HistoryPlace& place, std::string& error,
                                              const std::function<void(const std::string&)>& say);

// Moves a database that can no longer be trusted (and its log files) aside
// to "history.sqlite3.broken-<date>"; the name it got, or none.
std::optional<std::string> setHistoryAside(const HistoryPlace& place);

// For reading only: no value, and why, when there is no history yet or the
// file there is not a database file of ours (a pipe would hang the reader).
std::optional<Database> openHistoryForReading(const HistoryPlace& place, std::string& error);

} // namespace korvel::history
