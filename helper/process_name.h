#pragma once

#include <string>
#include <string_view>

namespace korvel {

// The last component of a path, trailing separators ignored ("/a/b/" is "b",
// "/" stays "/").
std::string_view lastPathComponent(std::string_view path);

// The name shown for an executable: the outermost bundle for a path inside
// "<dir>/X.app/Contents/", else the last path component.
std::string processDisplayName(std::string_view path);

} // namespace korvel
