#pragma once

#include "shared/helper_response.h"

#include <filesystem>

namespace korvel {

// The application group shared with the store edition, which reads the snapshot.
inline constexpr const char* kSharedAppGroupIdentifier = "qn.Korvel.shared";

// Where the advanced snapshot lives, computed afresh on every call:
// <group container>/Advanced Snapshot/latest.json, or without a container
// ~/Library/Application Support/Korvel Shared/Advanced Snapshot/latest.json.
std::filesystem::path advancedSnapshotURL();

// Replaces the snapshot with this reading, atomically: a reader sees the
// previous or the new document, whole. A failure is reported by one NSLog
// line and leaves the previous file as it was.
void writeAdvancedSnapshot(const HelperResponse& response);

// Deletes the snapshot; an absent file or any other failure is ignored.
void removeAdvancedSnapshot();

} // namespace korvel
