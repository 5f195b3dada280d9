#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::desktop {

// Where desktop entries live and which language to read them in, as the
// session's environment says.
struct XdgEnvironment {
    // The applications/ directories, most important first: $XDG_DATA_HOME
    // (default ~/.local/share), then each of $XDG_DATA_DIRS (default
    // /usr/local/share:/usr/share). Relative entries are ignored.
    std::vector<std::string> applicationDirs;
    // Message locales to try, preferred first, e.g. {"de_DE.UTF-8"}: the
    // LANGUAGE list (unless the locale is C or POSIX), then LC_ALL,
    // LC_MESSAGES or LANG, whichever is set first. Empty: untranslated.
    std::vector<std::string> locales;
    // The PATH that programs named without a slash are searched in.
    std::string searchPath;

    using Getter = std::function<std::optional<std::string>(const std::string& name)>;
    static XdgEnvironment from(const Getter& getenv);
    static XdgEnvironment fromProcess();
};

} // namespace korvel::platform::desktop
