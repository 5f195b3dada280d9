#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::desktop {

// One installed application, as far as naming its processes goes.
struct DesktopEntry {
    std::string id;           // desktop file ID, e.g. "org.example.Viewer.desktop"
    std::string file;         // where it was read from
    size_t directoryRank = 0; // 0 = the most important applications directory
    std::string name;         // localized Name
    std::string icon;         // theme icon name or absolute file path; empty when none
    bool noDisplay = false;
    // Real paths of the executables its processes run: Exec's program and TryExec.
    std::vector<std::string> programs;
};

// Reads one .desktop file. No value when the file is unreadable, not an
// application, Hidden (deleted), has no usable Exec, names a TryExec that is
// not installed, or launches a shell or interpreter with a script (such an
// entry would claim every process of that interpreter).
std::optional<DesktopEntry> readDesktopEntry(const std::string& file, const std::string& id,
                                             size_t directoryRank,
                                             const std::vector<std::string>& locales,
                                             const std::string& searchPath);

} // namespace korvel::platform::desktop
