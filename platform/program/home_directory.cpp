#include "platform/program/home_directory.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace korvel::platform {

std::optional<std::string> homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return std::string(home);
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

std::optional<StatePlace> stateDirectory(const std::string& name) {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return StatePlace{state, name};
    }
    const auto home = homeDirectory();
    if (!home || home->find_first_not_of('/') == std::string::npos) {
        return std::nullopt;
    }
    return StatePlace{*home, ".local/state/" + name};
}

} // namespace korvel::platform
