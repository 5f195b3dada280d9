#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform::defaults {

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config. No value
// when no home directory is known either.
std::optional<std::string> configHomeDirectory();

// Where a domain's store lives: <config home>/<domain>/defaults.json.
// Empty when there is no config home or the domain is not a plain name
// (empty, ".", "..", or containing '/' or NUL).
std::string defaultsFilePath(std::string_view domain);

} // namespace korvel::platform::defaults
