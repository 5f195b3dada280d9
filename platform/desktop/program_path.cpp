#include "platform/desktop/program_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace korvel::platform::desktop {
namespace {

std::optional<std::string> realExecutable(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        ::access(path.c_str(), X_OK) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr),
                                                           &std::free);
    if (!real) {
        return std::nullopt;
    }
    return std::string(real.get());
}

} // namespace

std::optional<std::string> resolveProgram(const std::string& program,
                                          const std::string& searchPath) {
    if (program.empty()) {
        return std::nullopt;
    }
    if (program.find('/') != std::string::npos) {
        return program.front() == '/' ? realExecutable(program) : std::nullopt;
    }
    std::istringstream dirs(searchPath);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        // An empty or relative PATH entry would mean the current directory,
        // which has nothing to do with the installed applications.
        if (dir.empty() || dir.front() != '/') {
            continue;
        }
        if (auto found = realExecutable(dir + "/" + program)) {
            return found;
        }
    }
    return std::nullopt;
}

} // namespace korvel::platform::desktop
