#pragma once

#include "platform/desktop/xdg_environment.h"

#include <filesystem>
#include <string>

namespace korvel::testing {

// A throwaway XDG tree: home, /usr/local/share and /usr/share application
// directories, and a bin directory for PATH, all under one temporary root.
class DesktopTree {
public:
    DesktopTree();
    ~DesktopTree();
    DesktopTree(const DesktopTree&) = delete;
    DesktopTree& operator=(const DesktopTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path home() const { return root_ / "home/.local/share/applications"; }
    std::filesystem::path local() const { return root_ / "usr/local/share/applications"; }
    std::filesystem::path system() const { return root_ / "usr/share/applications"; }
    std::filesystem::path bin() const { return root_ / "bin"; }

    // An executable file (directories made as needed); returns its path.
    std::filesystem::path program(const std::filesystem::path& path);
    // Writes a file (directories made as needed).
    void write(const std::filesystem::path& path, const std::string& text);

    platform::desktop::XdgEnvironment environment(std::vector<std::string> locales = {}) const;

private:
    std::filesystem::path root_;
};

} // namespace korvel::testing
