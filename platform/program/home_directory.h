#pragma once

#include <optional>
#include <string>

namespace korvel::platform {

// The user's home directory: $HOME when it is an absolute path, else the
// password database entry of the real user. No value when neither is known.
std::optional<std::string> homeDirectory();

// A directory of the user's state, as a trusted base and the path below it
// that is opened step by step without following links: <name> under
// $XDG_STATE_HOME when that is an absolute path, else ~/.local/state/<name>.
// No value without a home directory.
struct StatePlace {
    std::string base;
    std::string relative;
};
std::optional<StatePlace> stateDirectory(const std::string& name);

} // namespace korvel::platform
