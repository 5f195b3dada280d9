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

// The user's runtime directory: $XDG_RUNTIME_DIR when that is an absolute
// path, else <runUserRoot>/<uid> when the login manager made it (a directory
// of ours that nobody else may enter). A cron job or an ssh shell often lacks
// the variable though the session's directory exists, and a second engine
// must find the first one there. No value when neither holds.
std::optional<std::string> runtimeDirectory(const std::string& runUserRoot = "/run/user");

} // namespace korvel::platform
