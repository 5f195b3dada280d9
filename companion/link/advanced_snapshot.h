#pragma once

#include "shared/helper_response.h"

#include <filesystem>
#include <optional>

namespace korvel {

// The directory in the user's runtime directory shared with whoever reads the snapshot.
inline constexpr const char* kSnapshotDirectoryName = "qn.Korvel.shared";

// Where the advanced snapshot lives, computed afresh on every call:
// <runtime directory>/qn.Korvel.shared/Advanced Snapshot/latest.json, or, when
// there is none or a directory on its way is not ours, $XDG_STATE_HOME/korvel/
// Advanced Snapshot/latest.json (~/.local/state/korvel/… by default). No
// value when neither is usable (no home known: the file system root never
// stands in).
std::optional<std::filesystem::path> advancedSnapshotURL();

// Replaces the snapshot with this reading, atomically: a reader sees the
// previous or the new document, whole. The directories are created and
// opened without following links, and used only when they are ours. A
// failure leaves the previous file as it was and is reported by one NSLog
// line, not repeated while it lasts; the first success after it says so.
void writeAdvancedSnapshot(const HelperResponse& response);

// Deletes the snapshot; an absent file or any other failure is ignored.
void removeAdvancedSnapshot();

} // namespace korvel
