#include "companion/link/advanced_snapshot.h"

#include "platform/defaults/defaults_file.h"
#include "platform/log/ns_log.h"
#include "platform/system/app_group_container.h"
#include "platform/system/home_directory.h"

#include <string>
#include <system_error>

namespace korvel {
namespace {

constexpr const char* kFailurePrefix = "Korvel: failed to save external advanced snapshot: ";

void reportFailure(const std::string& description) {
    platform::log::nsLog(kFailurePrefix + description);
}

} // namespace

std::filesystem::path advancedSnapshotURL() {
    if (const auto container = platform::appGroupContainer(kSharedAppGroupIdentifier)) {
        return std::filesystem::path(*container) / "Advanced Snapshot" / "latest.json";
    }
    // Without a known home the root stands in, as it does for a user without one.
    const std::filesystem::path home = platform::homeDirectory().value_or("/");
    return home / "Library/Application Support/Korvel Shared" / "Advanced Snapshot" / "latest.json";
}

void writeAdvancedSnapshot(const HelperResponse& response) {
    const auto location = advancedSnapshotURL();
    std::error_code ec;
    std::filesystem::create_directories(location.parent_path(), ec);
    if (ec) {
        reportFailure("could not create the folder " + location.parent_path().string() + ": " +
                      ec.message());
        return;
    }
    // A reading decoded from the helper's document is that document again.
    const auto document =
        response.source.text ? std::optional<std::string>() : encodeHelperResponse(response);
    const std::string* body =
        response.source.text ? response.source.text.get() : (document ? &*document : nullptr);
    if (body == nullptr) {
        reportFailure("the reading could not be encoded: a number in it is not finite");
        return;
    }
    // Replaced by rename, never rewritten in place: the store edition may be
    // reading the file at any moment.
    std::string error;
    platform::defaults::FileStamp written;
    if (!platform::defaults::replaceFile(location.string(), *body, written, error)) {
        reportFailure(error);
    }
}

void removeAdvancedSnapshot() {
    std::error_code ec;
    std::filesystem::remove(advancedSnapshotURL(), ec);
}

} // namespace korvel
