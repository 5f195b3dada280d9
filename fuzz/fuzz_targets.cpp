#include "fuzz/fuzz_targets.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace korvel::fuzz {

const std::vector<FuzzTarget>& fuzzTargets() {
    // The settings loader and the desktop-entry reader write a file per
    // input, so their inputs stay short; nesting far deeper than 4096 levels
    // is a case of its own (bounded by the loader, tested there).
    static const std::vector<FuzzTarget> targets = {
        {"helper_response", &helperResponse, 16384},
        {"frame_reader", &frameReader, 4096},
        {"stat_line", &statLine, 2048},
        {"proc_net_file", &procNetFile, 4096},
        {"sock_diag", &sockDiag, 8192},
        {"routing_state", &routingState, 8192},
        {"defaults_file", &defaultsFile, 4096},
        {"desktop_entry", &desktopEntry, 4096},
    };
    return targets;
}

const FuzzTarget* findFuzzTarget(std::string_view name) {
    for (const auto& target : fuzzTargets()) {
        if (name == target.name) {
            return &target;
        }
    }
    return nullptr;
}

const std::string& scratchDirectory() {
    static const std::string directory = [] {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/korvel-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        static const std::string removed = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removed, ignored);
        });
        return pattern;
    }();
    return directory;
}

bool writeScratchFile(const std::string& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return static_cast<bool>(out.flush());
}

} // namespace korvel::fuzz
