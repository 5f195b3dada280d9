#include "platform/system/user_names.h"

#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace korvel::platform {

std::optional<std::string> userNameOf(uint32_t uid) {
    static std::mutex mutex;
    static std::unordered_map<uint32_t, std::optional<std::string>> known;
    std::lock_guard lock(mutex);
    if (const auto it = known.find(uid); it != known.end()) {
        return it->second;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    std::optional<std::string> name;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        name = found->pw_name;
    }
    known.emplace(uid, name);
    return name;
}

} // namespace korvel::platform
