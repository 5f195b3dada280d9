#pragma once

#include "platform/desktop/desktop_entry.h"
#include "platform/desktop/xdg_environment.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvel::platform::desktop {

// The installed applications by the real path of the executable their
// processes run. Built from disk once; lookups only read memory.
//
// A desktop file ID belongs to the first applications directory that has it
// (so a user's copy, even a Hidden one, replaces the system's). When several
// entries run the same executable, the one shown in menus wins over a NoDisplay
// one, then the one from the more important directory, then the one whose
// desktop file ID sorts first.
class ApplicationIndex {
public:
    ApplicationIndex() = default;
    static ApplicationIndex build(const XdgEnvironment& environment);

    // The entry for a process's executable path; a " (deleted)" suffix, as the
    // kernel shows for a replaced binary, is ignored. Null when none.
    const DesktopEntry* find(std::string_view executablePath) const;

    const std::vector<DesktopEntry>& entries() const { return entries_; }

private:
    std::vector<DesktopEntry> entries_;
    std::unordered_map<std::string, size_t> byProgram_;
};

} // namespace korvel::platform::desktop
