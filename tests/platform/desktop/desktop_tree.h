#pragma once

#include "platform/desktop/xdg_environment.h"
#include "tests/support/temp_dir.h"

#include <filesystem>
#include <string>

namespace korvel::testing {

// A throwaway XDG tree: home, /usr/local/share and /usr/share application
// directories, and a bin directory for PATH, all under one temporary root.
class DesktopTree : public TempDir {
public:
    const std::filesystem::path& root() const { return path(); }
    std::filesystem::path home() const { return root() / "home/.local/share/applications"; }
    std::filesystem::path local() const { return root() / "usr/local/share/applications"; }
    std::filesystem::path system() const { return root() / "usr/share/applications"; }
    std::filesystem::path bin() const { return root() / "bin"; }

    // An executable file (relative paths land in bin()); returns its path.
    std::filesystem::path program(const std::filesystem::path& path) const {
        const auto full = path.is_absolute() ? path : bin() / path;
        write(full, "#!/bin/true\n");
        std::filesystem::permissions(full, std::filesystem::perms::owner_all |
                                               std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);
        return full;
    }

    platform::desktop::XdgEnvironment environment(std::vector<std::string> locales = {}) const {
        platform::desktop::XdgEnvironment env;
        env.applicationDirs = {home().string(), local().string(), system().string()};
        env.locales = std::move(locales);
        env.searchPath = bin().string();
        return env;
    }
};

} // namespace korvel::testing
