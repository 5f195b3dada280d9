#include "helper/system_process.h"

namespace korvel {
namespace {

// The path begins with the segment, whole.
bool beginsWithSegment(std::string_view path, std::string_view segment) {
    return path.starts_with(segment) &&
           (path.size() == segment.size() || path[segment.size()] == '/');
}

} // namespace

SystemProcessRule::SystemProcessRule(std::optional<uint32_t> uid,
                                     std::optional<std::string_view> ownCgroup)
    : uid_(uid) {
    if (!uid_) {
        return;
    }
    const std::string id = std::to_string(*uid_);
    userSlice_ = "/user.slice/user-" + id + ".slice/";
    userManager_ = "user@" + id + ".service/";
    bySession_ = ownCgroup && ownCgroup->starts_with(userSlice_);
}

bool SystemProcessRule::isSystemProcess(std::optional<uint32_t> uid,
                                        std::optional<std::string_view> cgroup) const {
    if (bySession_ && cgroup) {
        if (!cgroup->starts_with(userSlice_)) {
            return true;
        }
        std::string_view inSlice = cgroup->substr(userSlice_.size());
        if (!inSlice.starts_with(userManager_)) {
            return false; // a login session's scope: the user's shells
        }
        inSlice.remove_prefix(userManager_.size());
        return beginsWithSegment(inSlice, "session.slice") ||
               beginsWithSegment(inSlice, "init.scope");
    }
    return uid_ && uid && *uid != *uid_;
}

} // namespace korvel
