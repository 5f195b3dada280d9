#pragma once

// What the benchmarks read about the processes they measure.

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>

namespace korvel::bench {

inline std::string procFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A "kB" field of /proc/PID/status (VmRSS, VmHWM); -1 when absent.
inline long statusKilobytes(pid_t pid, std::string_view field) {
    std::istringstream status(procFileText("/proc/" + std::to_string(pid) + "/status"));
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(prefix, 0) == 0) {
            return std::atol(line.c_str() + prefix.size());
        }
    }
    return -1;
}

// utime + stime in seconds, of a process or (through its task directory) a thread.
inline double cpuSeconds(const std::filesystem::path& statFile) {
    const std::string text = procFileText(statFile);
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stoull(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

inline double cpuSeconds(pid_t pid) {
    return cpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

// The helper serving the given private runtime directory, or -1: other runs
// start helpers of their own, so the program name alone says nothing.
inline pid_t findHelper(const std::string& runtimeDir) {
    const std::string marker = "XDG_RUNTIME_DIR=" + runtimeDir + '\0';
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code linkError;
        const auto exe = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (!linkError && exe.filename() == "korvel-helper" &&
            procFileText(entry.path() / "environ").find(marker) != std::string::npos) {
            return static_cast<pid_t>(std::stol(name));
        }
    }
    return -1;
}

// Ends the helper of that runtime directory and waits until it is gone, so
// the next request starts one that remembers no descriptor walk.
inline void stopHelper(const std::string& runtimeDir) {
    const pid_t helper = findHelper(runtimeDir);
    if (helper <= 0) {
        return;
    }
    ::kill(helper, SIGTERM);
    for (int wait = 0; wait < 500 && findHelper(runtimeDir) == helper; ++wait) {
        ::usleep(10000);
    }
}

} // namespace korvel::bench
