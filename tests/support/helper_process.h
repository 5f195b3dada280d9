#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace korvel::testing {

inline std::string helperBinary() {
    return std::string(KORVEL_TEST_BINARY_DIR) + "/korvel-helper";
}

// Helper processes started for this test's runtime directory (they inherit
// XDG_RUNTIME_DIR), so parallel tests never see each other's helpers.
inline std::vector<pid_t> helpersForThisRuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string marker = std::string("XDG_RUNTIME_DIR=") + (runtime ? runtime : "") + '\0';
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        std::error_code error;
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            std::filesystem::read_symlink(entry.path() / "exe", error).filename() !=
                "korvel-helper") {
            continue;
        }
        std::ifstream environ(entry.path() / "environ", std::ios::binary);
        if (std::string(std::istreambuf_iterator<char>(environ), {}).find(marker) !=
            std::string::npos) {
            found.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return found;
}

// Waits up to about five seconds for `count` of them; those found at the end.
inline std::vector<pid_t> waitForHelpers(size_t count) {
    auto pids = helpersForThisRuntimeDir();
    for (int i = 0; i < 500 && pids.size() != count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pids = helpersForThisRuntimeDir();
    }
    return pids;
}

inline void killHelpers() {
    for (pid_t pid : helpersForThisRuntimeDir()) {
        ::kill(pid, SIGKILL);
    }
}

} // namespace korvel::testing
