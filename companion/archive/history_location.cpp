#include "companion/archive/history_location.h"

#include "companion/archive/history_schema.h"
#include "platform/program/home_directory.h"
#include "platform/program/owned_directory.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sqlite3.h>

namespace korvel::history {
namespace {

std::string brokenName(int attempt) {
    const std::time_t now = std::time(nullptr);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
    std::string name = std::string(kHistoryFileName) + ".broken-" + stamp;
    return attempt == 0 ? name : name + "-" + std::to_string(attempt);
}

// Moves the database and its log files aside under one new name. False when
// no free name was found or the move failed.
bool moveAside(const platform::OwnedDirectory& directory, std::string& movedTo) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = brokenName(attempt);
        if (directory.moveAside(kHistoryFileName, name)) {
            // The log of a broken database must never be replayed into a new one.
            for (const char* suffix : {"-wal", "-shm"}) {
                directory.moveAside(std::string(kHistoryFileName) + suffix, name + suffix);
                directory.removeFile(std::string(kHistoryFileName) + suffix);
            }
            movedTo = name;
            return true;
        }
    }
    return false;
}

// The database when it opens, passes its quick check and takes the schema.
std::optional<Database> openChecked(const std::string& path, std::string& problem) {
    auto db = Database::open(path, false, problem);
    if (!db) {
        return std::nullopt;
    }
    Statement check = db->prepare("PRAGMA quick_check");
    if (!check.step() || check.text(0) != "ok") {
        problem = check.resultCode() == SQLITE_ROW ? check.text(0) : db->lastError();
        return std::nullopt;
    }
    check = Statement();
    if (!migrateSchema(*db, problem)) {
        return std::nullopt;
    }
    return db;
}

} // namespace

std::optional<HistoryPlace> historyPlace() {
    const auto state = platform::stateDirectory("korvel");
    if (!state) {
        return std::nullopt;
    }
    return HistoryPlace{state->base, state->relative};
}

std::unique_ptr<platform::InstanceLock> lockHistoryForWriting(const HistoryPlace& place,
                                                              std::string& error) {
    if (!platform::OwnedDirectory::open(place.base, place.relative, true, true, error)) {
        return nullptr;
    }
    const std::string path = place.base + "/" + place.relative + "/" + kHistoryLockName;
    auto result = platform::InstanceLock::acquire(path);
    if (result.outcome == platform::InstanceLock::Outcome::heldElsewhere) {
        std::string pid;
        std::ifstream(path) >> pid;
        error =
            "another Korvel engine" + (pid.empty() ? "" : " (process " + pid + ")") + " records it";
    } else if (!result.lock) {
        error = result.error;
    }
    return std::move(result.lock);
}

std::optional<Database> openHistoryForWriting(const HistoryPlace& place, std::string& error,
                                              const std::function<void(const std::string&)>& say) {
    auto directory = platform::OwnedDirectory::open(place.base, place.relative, true, true, error);
    if (!directory) {
        return std::nullopt;
    }
    directory->makePrivate();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!directory->preparePrivateFile(kHistoryFileName, error)) {
            return std::nullopt;
        }
        std::string problem;
        if (auto db = openChecked(place.path(), problem)) {
            db->execute("PRAGMA journal_mode = WAL");
            // Each commit reaches the log; a crash loses at most the last one.
            db->execute("PRAGMA synchronous = NORMAL");
            return db;
        }
        if (problem.find("newer than") != std::string::npos) {
            error = place.path() + ": " + problem;
            return std::nullopt;
        }
        std::string movedTo;
        if (!moveAside(*directory, movedTo)) {
            error = place.path() + " cannot be read (" + problem + ") nor moved aside";
            return std::nullopt;
        }
        say("the history database " + place.path() + " could not be read (" + problem +
            "); it was moved to " + movedTo + " and a new one started");
    }
    error = place.path() + ": a new database could not be started";
    return std::nullopt;
}

std::optional<std::string> setHistoryAside(const HistoryPlace& place) {
    std::string error, movedTo;
    const auto directory =
        platform::OwnedDirectory::open(place.base, place.relative, true, false, error);
    return directory && moveAside(*directory, movedTo) ? std::optional(movedTo) : std::nullopt;
}

std::optional<Database> openHistoryForReading(const HistoryPlace& place, std::string& error) {
    auto directory = platform::OwnedDirectory::open(place.base, place.relative, true, false, error);
    if (!directory) {
        error = "no history recorded yet (" + error + ")";
        return std::nullopt;
    }
    // The log files too: SQLite opens them beside the database.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string name = std::string(kHistoryFileName) + suffix;
        if (directory->holds(name) == platform::OwnedDirectory::Entry::foreign) {
            error = place.path() + suffix + " is not a file of ours";
            return std::nullopt;
        }
    }
    auto db = Database::open(place.path(), true, error);
    if (!db || db->integerOf("PRAGMA user_version").value_or(0) == 0) {
        error = "no history recorded yet at " + place.path();
        return std::nullopt;
    }
    return db;
}

} // namespace korvel::history
