#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Who a process belongs to, as far as its cgroup path tells. Absent members
// are unknown.
struct ProcessOwner {
    std::optional<std::string> unit;      // innermost ".service" or ".scope"
    std::optional<std::string> appId;     // the application an "app-" unit names
    std::optional<std::string> container; // innermost container's id or name
};

// Raw bytes of the path; names are not checked for UTF-8 here.
ProcessOwner processOwnerFromCgroup(std::string_view path);

} // namespace korvel
