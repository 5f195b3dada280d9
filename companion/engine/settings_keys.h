#pragma once

#include <array>
#include <cstdint>

// The companion's settings: keys in its user-defaults domain
// (platform::UserDefaults::companion()) and the value an absent key reads as.
// Read them with the typed getters, which also give the default for a value
// stored with the wrong type.
namespace korvel::settings {

// Integer seconds between refreshes while no popover is open.
inline constexpr const char* kAutoRefreshInterval = "autoRefreshInterval";
inline constexpr int64_t kAutoRefreshIntervalDefault = 5;
// The range a stored value is clamped to when read: an hour at most, so a
// huge value cannot stop the refresh for good.
inline constexpr int64_t kAutoRefreshIntervalMinimum = 1;
inline constexpr int64_t kAutoRefreshIntervalMaximum = 3600;

inline constexpr const char* kShowSystemProcesses = "showSystemProcesses";
inline constexpr bool kShowSystemProcessesDefault = false;

inline constexpr const char* kTrafficEnabled = "trafficEnabled";
inline constexpr bool kTrafficEnabledDefault = true;

// One of kMenuBarMetricValues; any other text matches none of them.
// "dataUsage" is what the primary network moved this billing cycle.
inline constexpr const char* kMenuBarMetric = "menuBarMetric";
inline constexpr const char* kMenuBarMetricDefault = "none";
inline constexpr std::array<const char*, 10> kMenuBarMetricValues = {
    "none", "network", "cpu",     "gpu",     "memory",
    "disk", "battery", "cpuTemp", "gpuTemp", "dataUsage"};

// Written by the engine after every merge: true exactly while the helper
// delivers full data.
inline constexpr const char* kHelperAvailable = "helperAvailable";
inline constexpr bool kHelperAvailableDefault = false;

// No default: absent means "register at login", and only a stored Boolean
// false stops that. Read it with object(), not boolFor().
inline constexpr const char* kLaunchAtLogin = "launchAtLogin";
// What the settings view shows while the key is absent.
inline constexpr bool kLaunchAtLoginDisplayDefault = false;

inline constexpr const char* kCompanionSetupCompleted = "companionSetupCompleted";
inline constexpr bool kCompanionSetupCompletedDefault = false;

// Held for the views; no behaviour of the companion depends on these.
inline constexpr const char* kResolveHostnames = "resolveHostnames";
inline constexpr bool kResolveHostnamesDefault = true;

inline constexpr const char* kShowListeningPorts = "showListeningPorts";
inline constexpr bool kShowListeningPortsDefault = true;

// A directory read by node_exporter's textfile collector; empty: no export.
inline constexpr const char* kPrometheusTextfileDirectory = "prometheusTextfileDirectory";
inline constexpr const char* kPrometheusTextfileDirectoryDefault = "";

// The per-process history under $XDG_STATE_HOME/korvel, and the size its
// database is kept under, in MiB.
inline constexpr const char* kHistoryEnabled = "historyEnabled";
inline constexpr bool kHistoryEnabledDefault = true;
inline constexpr const char* kHistoryMaxMegabytes = "historyMaxMegabytes";
inline constexpr int64_t kHistoryMaxMegabytesDefault = 500;
// A stored value outside this range reads as the default, and `defaults
// write` refuses it: a cap of 0 or -1 would delete nearly all of the history.
inline constexpr int64_t kHistoryMaxMegabytesMinimum = 10;
inline constexpr int64_t kHistoryMaxMegabytesMaximum = int64_t{1} << 20;

// "Notify when one app moves more than N MB in M minutes": N of 0 is off.
inline constexpr const char* kAppAlertMegabytes = "appAlertMegabytes";
inline constexpr int64_t kAppAlertMegabytesDefault = 0;
inline constexpr const char* kAppAlertMinutes = "appAlertMinutes";
inline constexpr int64_t kAppAlertMinutesDefault = 10;

// The integer settings whose values outside a range are refused.
struct IntegerRange {
    const char* key;
    int64_t minimum;
    int64_t maximum;
};
inline constexpr std::array<IntegerRange, 3> kRangedIntegers = {
    IntegerRange{kHistoryMaxMegabytes, kHistoryMaxMegabytesMinimum, kHistoryMaxMegabytesMaximum},
    IntegerRange{kAppAlertMegabytes, 0, int64_t{1} << 30},
    IntegerRange{kAppAlertMinutes, 1, 24 * 60}};

inline constexpr const char* kMenuBarColorEnabled = "menuBarColorEnabled";
inline constexpr bool kMenuBarColorEnabledDefault = false;

inline constexpr const char* kOverviewSectionOrder = "overviewSectionOrder";
inline constexpr const char* kOverviewSectionOrderDefault = "";

inline constexpr const char* kOverviewHiddenSections = "overviewHiddenSections";
inline constexpr const char* kOverviewHiddenSectionsDefault = "";

} // namespace korvel::settings
