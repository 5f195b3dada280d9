#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// The line between the requesting user's own processes and the system's: a
// system process runs outside the user's session. Where the helper runs inside
// its user's slice, cgroups draw the line: outside /user.slice/user-<uid>.slice/,
// or in the user manager's session.slice (display server, session bus) or its
// init.scope, is the system. Elsewhere (no systemd, a container, a service)
// every cgroup looks alike, so a uid other than the helper's draws it.
class SystemProcessRule {
public:
    // The helper's own uid and cgroup path; without the uid nothing is a
    // system process.
    SystemProcessRule(std::optional<uint32_t> uid, std::optional<std::string_view> ownCgroup);

    // Whether the rule looks at cgroups at all.
    bool readsCgroups() const { return bySession_; }

    // A process whose cgroup cannot be read is judged by its uid; one whose
    // uid cannot be read either is kept.
    bool isSystemProcess(std::optional<uint32_t> uid, std::optional<std::string_view> cgroup) const;

private:
    std::optional<uint32_t> uid_;
    std::string userSlice_;   // "/user.slice/user-<uid>.slice/"
    std::string userManager_; // "user@<uid>.service/"
    bool bySession_ = false;
};

} // namespace korvel
