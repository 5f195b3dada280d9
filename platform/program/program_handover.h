#pragma once

#include <string>
#include <vector>

namespace korvel::platform {

// Replaces this process with the program at an absolute path (argv[0] is the
// path), keeping its pid, environment and inheritable descriptors. Returns
// only when that failed, with the reason.
std::string handOverToProgram(const std::string& path, const std::vector<std::string>& arguments);

} // namespace korvel::platform
