#include "platform/program/user_name.h"

#include <mutex>
#include <pwd.h>
#include <unordered_map>
#include <vector>

namespace korvel::platform {

std::optional<std::string> userName(uint32_t uid) {
    static std::mutex mutex;
    static std::unordered_map<uint32_t, std::optional<std::string>> known;
    std::lock_guard lock(mutex);
    if (const auto it = known.find(uid); it != known.end()) {
        return it->second;
    }
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    std::optional<std::string> name;
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && entry.pw_name != nullptr) {
        name = entry.pw_name;
    }
    known.emplace(uid, name);
    return name;
}

} // namespace korvel::platform
