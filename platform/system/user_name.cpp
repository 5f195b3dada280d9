#include "platform/system/user_name.h"

#include <pwd.h>
#include <vector>

namespace korvel::platform {

std::optional<std::string> userName(uint32_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || entry.pw_name == nullptr) {
        return std::nullopt;
    }
    return std::string(entry.pw_name);
}

} // namespace korvel::platform
