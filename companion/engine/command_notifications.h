#pragma once

namespace korvel::notifications {

// The commands the manager takes from the rest of the process.
inline constexpr const char* kRefreshNow = "Korvel.RefreshNow";
inline constexpr const char* kRefreshIntervalChanged = "Korvel.RefreshIntervalChanged";
inline constexpr const char* kMenuBarDataRefreshed = "Korvel.MenuBarDataRefreshed";
inline constexpr const char* kPopoverVisibilityChanged = "Korvel.PopoverVisibilityChanged";
inline constexpr const char* kPopoverTabChanged = "Korvel.PopoverTabChanged";
inline constexpr const char* kOverviewDragStateChanged = "Korvel.OverviewDragStateChanged";

} // namespace korvel::notifications
