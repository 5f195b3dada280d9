#pragma once

namespace korvel::platform {

// The live kernel trees. Readers take a root so tests can point them at fixtures;
// only the default-constructed live readers use these.
inline constexpr const char* kLiveProcRoot = "/proc";
inline constexpr const char* kLiveSysRoot = "/sys";

} // namespace korvel::platform
