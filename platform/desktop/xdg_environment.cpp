#include "platform/desktop/xdg_environment.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace korvel::platform::desktop {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

std::string valueOr(const XdgEnvironment::Getter& getenv, const std::string& name,
                    const std::string& fallback) {
    const auto value = getenv(name);
    return value && !value->empty() ? *value : fallback;
}

} // namespace

XdgEnvironment XdgEnvironment::from(const Getter& getenv) {
    XdgEnvironment env;
    const auto home = valueOr(getenv, "HOME", "");
    const auto dataHome =
        valueOr(getenv, "XDG_DATA_HOME", home.empty() ? "" : home + "/.local/share");
    auto dataDirs = split(valueOr(getenv, "XDG_DATA_DIRS", "/usr/local/share:/usr/share"), ':');
    dataDirs.insert(dataDirs.begin(), dataHome);
    for (auto dir : dataDirs) {
        if (dir.empty() || dir.front() != '/') {
            continue;
        }
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        auto applications = dir + "/applications";
        if (std::ranges::find(env.applicationDirs, applications) == env.applicationDirs.end()) {
            env.applicationDirs.push_back(std::move(applications));
        }
    }

    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = valueOr(getenv, name, "");
        if (!locale.empty()) {
            break;
        }
    }
    if (!locale.empty() && locale != "C" && locale != "POSIX" && !locale.starts_with("C.")) {
        env.locales = split(valueOr(getenv, "LANGUAGE", ""), ':');
        env.locales.push_back(locale);
    }
    env.searchPath = valueOr(getenv, "PATH", "/usr/local/bin:/usr/bin:/bin");
    return env;
}

XdgEnvironment XdgEnvironment::fromProcess() {
    return from([](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    });
}

} // namespace korvel::platform::desktop
