#include "platform/defaults/defaults_path.h"

#include "platform/program/home_directory.h"

#include <cstdlib>

namespace korvel::platform::defaults {

std::optional<std::string> configHomeDirectory() {
    // Relative values are invalid by the XDG rules and must be ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME");
        config != nullptr && config[0] == '/') {
        return std::string(config);
    }
    if (auto home = homeDirectory()) {
        return *home + "/.config";
    }
    return std::nullopt;
}

std::string defaultsFilePath(std::string_view domain) {
    if (domain.empty() || domain == "." || domain == ".." ||
        domain.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return {};
    }
    const auto config = configHomeDirectory();
    if (!config) {
        return {};
    }
    return *config + "/" + std::string(domain) + "/defaults.json";
}

} // namespace korvel::platform::defaults
