#include "tests/platform/desktop/desktop_tree.h"

#include <atomic>
#include <fstream>
#include <unistd.h>

namespace korvel::testing {

namespace fs = std::filesystem;

DesktopTree::DesktopTree() {
    static std::atomic<int> counter{0};
    root_ = fs::temp_directory_path() /
            ("korvel-desktop-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
}

DesktopTree::~DesktopTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

fs::path DesktopTree::program(const fs::path& path) {
    const auto full = path.is_absolute() ? path : bin() / path;
    write(full, "#!/bin/true\n");
    fs::permissions(full, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    return full;
}

void DesktopTree::write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

platform::desktop::XdgEnvironment DesktopTree::environment(std::vector<std::string> locales) const {
    platform::desktop::XdgEnvironment env;
    env.applicationDirs = {home().string(), local().string(), system().string()};
    env.locales = std::move(locales);
    env.searchPath = bin().string();
    return env;
}

} // namespace korvel::testing
