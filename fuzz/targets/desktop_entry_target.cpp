#include "fuzz/fuzz_targets.h"
#include "platform/desktop/desktop_entry.h"

#include <filesystem>

namespace korvel::fuzz {
namespace {

// A search path with a program and an interpreter, so entries can resolve.
const std::string& searchPath() {
    static const std::string bin = [] {
        const std::string directory = scratchDirectory() + "/bin";
        std::filesystem::create_directory(directory);
        for (const char* name : {"viewer", "python3", "env"}) {
            const std::string program = directory + "/" + name;
            writeScratchFile(program, "#!/bin/true\n");
            std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        }
        return directory;
    }();
    return bin;
}

} // namespace

std::string desktopEntry(std::string_view input) {
    const std::string file = scratchDirectory() + "/entry.desktop";
    if (!writeScratchFile(file, input)) {
        return {};
    }
    const auto entry = platform::desktop::readDesktopEntry(file, "entry.desktop", 1,
                                                           {"de_DE", "de"}, searchPath());
    if (!entry) {
        return {};
    }
    if (entry->name.empty() || entry->programs.empty()) {
        return "an entry without a name or a program was accepted";
    }
    for (const auto& program : entry->programs) {
        if (program.empty() || program.front() != '/') {
            return "a program was not resolved to a path";
        }
    }
    return {};
}

} // namespace korvel::fuzz
