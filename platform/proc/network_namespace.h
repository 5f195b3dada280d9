#pragma once

#include <cstdint>
#include <optional>

namespace korvel::platform::proc {

// The inode naming a process's network namespace; no value when it cannot
// be read (another user's process, one that has gone). pid 0: our own.
std::optional<uint64_t> networkNamespaceOf(int32_t pid);

} // namespace korvel::platform::proc
