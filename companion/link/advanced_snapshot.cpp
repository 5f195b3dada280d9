#include "companion/link/advanced_snapshot.h"

#include "platform/log/failure_log.h"
#include "platform/program/home_directory.h"
#include "platform/program/owned_directory.h"
#include "platform/program/shared_runtime_directory.h"

#include <mutex>
#include <string>

namespace korvel {
namespace {

constexpr const char* kFileName = "latest.json";
constexpr const char* kDirectoryName = "Advanced Snapshot";
// One snapshot per user and one engine per user to write it, so failures are
// reported process-wide.
platform::log::FailureLog& failures() {
    static platform::log::FailureLog log("Korvel: failed to save external advanced snapshot: ",
                                         "Korvel: the external advanced snapshot is saved again");
    return log;
}

// The snapshot's directory: a base and the path below it, every step of
// which is opened without following links.
struct SnapshotPlace {
    std::string base;
    std::string relative;
    bool followBase = false;
};

bool usable(const std::string& directory) {
    return platform::directoryOwnership(directory) != platform::Ownership::foreign;
}

std::optional<SnapshotPlace> snapshotPlace() {
    if (const auto container = platform::sharedRuntimeDirectory(kSnapshotDirectoryName)) {
        const std::filesystem::path path(*container);
        const std::string inside = (path / kDirectoryName).string();
        if (usable(*container) && usable(inside)) {
            return SnapshotPlace{path.parent_path().string(),
                                 path.filename().string() + "/" + kDirectoryName, false};
        }
    }
    const auto state = platform::stateDirectory("korvel");
    if (!state) {
        return std::nullopt;
    }
    return SnapshotPlace{state->base, state->relative + "/" + kDirectoryName, true};
}

std::optional<platform::OwnedDirectory> openPlace(const SnapshotPlace& place, bool create,
                                                  std::string& error) {
    auto directory =
        platform::OwnedDirectory::open(place.base, place.relative, place.followBase, create, error);
    if (directory) {
        // Leftovers of writes cut short, once per place and process. Ours is
        // the only engine of this user, so any age is old enough.
        static std::mutex mutex;
        static std::string swept;
        std::lock_guard lock(mutex);
        const std::string where = place.base + "/" + place.relative;
        if (swept != where) {
            swept = where;
            directory->removeStaleTemporaries(kFileName, 0);
        }
    }
    return directory;
}

} // namespace

std::optional<std::filesystem::path> advancedSnapshotURL() {
    const auto place = snapshotPlace();
    if (!place) {
        return std::nullopt;
    }
    return std::filesystem::path(place->base) / place->relative / kFileName;
}

void writeAdvancedSnapshot(const HelperResponse& response) {
    const auto place = snapshotPlace();
    if (!place) {
        failures().failed("there is no place for it: no home directory is known");
        return;
    }
    std::string error;
    const auto directory = openPlace(*place, true, error);
    if (!directory) {
        failures().failed(error);
        return;
    }
    // A reading decoded from the helper's document is that document again.
    const auto document =
        response.source.text ? std::optional<std::string>() : encodeHelperResponse(response);
    const std::string* body =
        response.source.text ? response.source.text.get() : (document ? &*document : nullptr);
    if (body == nullptr) {
        failures().failed("the reading could not be encoded: a number in it is not finite");
        return;
    }
    // Replaced by rename, never rewritten in place: the store edition may be
    // reading the file at any moment.
    if (directory->replaceFile(kFileName, *body, error)) {
        failures().succeeded();
    } else {
        failures().failed(error);
    }
}

void removeAdvancedSnapshot() {
    const auto place = snapshotPlace();
    std::string error;
    if (const auto directory = place ? openPlace(*place, false, error) : std::nullopt) {
        directory->removeFile(kFileName);
    }
}

} // namespace korvel
