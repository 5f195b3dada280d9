#pragma once

namespace korvel {

inline constexpr const char* kHelperServiceName = "qn.Korvel.companion.helper";
inline constexpr const char* kFetchDataSelector = "fetchDataWithShowSystem:reply:";

} // namespace korvel
