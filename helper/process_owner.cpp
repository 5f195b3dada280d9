#include "helper/process_owner.h"

#include <charconv>

namespace korvel {
namespace {

constexpr std::string_view kScope = ".scope";
constexpr std::string_view kService = ".service";

// How container managers name a container's cgroup: a segment with a prefix
// (and ".scope" when systemd made it), or any segment under a parent segment.
struct ContainerNaming {
    std::string_view parent; // empty: any
    std::string_view prefix;
    bool hexId; // engines name containers by hex ids; their monitors
                // ("libpod-conmon-<id>") run outside the container
};

constexpr ContainerNaming kContainerNamings[] = {
    {"", "docker-", true},       {"", "libpod-", true}, {"", "cri-containerd-", true},
    {"", "crio-", true},         {"docker", "", true},  {"lxc", "", false},
    {"", "lxc.payload.", false},
};

bool isHex(std::string_view text) {
    return text.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

std::optional<std::string_view> containerName(std::string_view parent, std::string_view segment) {
    for (const ContainerNaming& naming : kContainerNamings) {
        if ((!naming.parent.empty() && parent != naming.parent) ||
            !segment.starts_with(naming.prefix)) {
            continue;
        }
        std::string_view name = segment.substr(naming.prefix.size());
        if (name.ends_with(kScope)) {
            name.remove_suffix(kScope.size());
        }
        if (!name.empty() && (!naming.hexId || isHex(name))) {
            return name;
        }
    }
    return std::nullopt;
}

// Unit names escape bytes as "\xNN" (a dash in an application id as "\x2d").
std::string unescapeUnitName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned byte = 0;
        if (name.substr(i, 2) == "\\x" && i + 3 < name.size() &&
            std::from_chars(name.data() + i + 2, name.data() + i + 4, byte, 16).ptr ==
                name.data() + i + 4) {
            out += static_cast<char>(byte);
            i += 3;
        } else {
            out += name[i];
        }
    }
    return out;
}

// "app-[<launcher>-]<id>-<random>.scope" or "app-[<launcher>-]<id>[@<instance>].service".
// Dashes inside the id are escaped, so the first bare dash ends the launcher.
std::optional<std::string> applicationId(std::string_view unit) {
    if (!unit.starts_with("app-")) {
        return std::nullopt;
    }
    std::string_view name = unit.substr(4);
    if (name.ends_with(kScope)) {
        name.remove_suffix(kScope.size());
        const size_t random = name.rfind('-');
        if (random == std::string_view::npos) {
            return std::nullopt;
        }
        name = name.substr(0, random);
    } else {
        name.remove_suffix(kService.size());
        name = name.substr(0, name.find('@'));
    }
    if (const size_t launcher = name.find('-'); launcher != std::string_view::npos) {
        name.remove_prefix(launcher + 1);
    }
    if (name.empty()) {
        return std::nullopt;
    }
    return unescapeUnitName(name);
}

} // namespace

ProcessOwner processOwnerFromCgroup(std::string_view path) {
    ProcessOwner owner;
    std::string_view parent;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (segment.empty()) {
            continue;
        }
        if (segment.ends_with(kScope) || segment.ends_with(kService)) {
            owner.unit = std::string(segment);
        }
        if (const auto name = containerName(parent, segment)) {
            owner.container = std::string(*name);
        }
        parent = segment;
    }
    if (owner.unit) {
        owner.appId = applicationId(*owner.unit);
    }
    return owner;
}

} // namespace korvel
