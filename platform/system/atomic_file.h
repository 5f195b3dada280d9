#pragma once

#include <string>
#include <string_view>

namespace korvel::platform {

// Replaces the file at path with contents so that anyone opening it sees
// either the previous complete file or the new complete one: the data goes to
// a new file in the same directory, is flushed to disk, and is renamed over
// path. The directory must exist. On failure the previous file is untouched,
// no temporary file is left behind, and error describes what went wrong.
// New files get `permissions` less the process umask.
bool writeFileAtomically(const std::string& path, std::string_view contents, std::string& error,
                         unsigned permissions = 0666);

} // namespace korvel::platform
