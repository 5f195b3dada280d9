#pragma once

#include <string_view>

namespace korvel {

// The last component of a path, trailing separators ignored ("/a/b/" is "b",
// "/" stays "/"): the name both programs show for an executable.
std::string_view lastPathComponent(std::string_view path);

} // namespace korvel
