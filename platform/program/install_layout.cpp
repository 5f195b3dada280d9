#include "platform/program/install_layout.h"

#include "platform/program/executable_path.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

// The build passes where libexec lies from bin, so a
// relocated install (DESTDIR, another prefix) finds its programs all the same.
#ifndef KORVEL_LIBEXEC_FROM_BINDIR
#define KORVEL_LIBEXEC_FROM_BINDIR "../libexec/korvel"
#endif

namespace korvel::platform {
namespace {

namespace fs = std::filesystem;

bool isExecutableFile(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> firstExecutable(std::initializer_list<fs::path> candidates) {
    for (const auto& candidate : candidates) {
        if (isExecutableFile(candidate)) {
            return candidate.lexically_normal().string();
        }
    }
    return std::nullopt;
}

} // namespace

std::string executableOverrideVariable(std::string_view name) {
    std::string variable;
    for (const char c : name) {
        variable.push_back(std::isalnum(static_cast<unsigned char>(c))
                               ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                               : '_');
    }
    return variable + "_PATH";
}

std::optional<std::string> bundledExecutable(std::string_view name,
                                             const std::optional<std::string>& runningProgram,
                                             const char* overridePath) {
    if (overridePath != nullptr && overridePath[0] == '/') {
        return std::string(overridePath);
    }
    if (!runningProgram || !fs::path(*runningProgram).is_absolute()) {
        return std::nullopt;
    }
    const fs::path directory = fs::path(*runningProgram).parent_path();
    return firstExecutable({directory / KORVEL_LIBEXEC_FROM_BINDIR / name, directory / name});
}

std::optional<std::string> bundledExecutable(std::string_view name) {
    const std::string variable = executableOverrideVariable(name);
    return bundledExecutable(name, runningExecutablePath(), std::getenv(variable.c_str()));
}

} // namespace korvel::platform
