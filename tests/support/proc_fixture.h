#pragma once

#include "platform/proc/proc_source.h"
#include "tests/support/temp_dir.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace korvel::testing {

// What a stat line of the fixture says; the rest of its 52 fields are zeros.
struct FixtureStat {
    std::string comm;
    int ppid = 1;
    uint64_t flags = 0x400000; // PF_RANDOMIZE, as most user tasks have it
    uint64_t utime = 0;
    uint64_t stime = 0;
    uint64_t vsize = 4096 * 1024;
    uint64_t rss = 0;
};

inline std::string statLine(int pid, const FixtureStat& s) {
    std::string line = std::to_string(pid) + " (" + s.comm + ") S " + std::to_string(s.ppid) +
                       " 1 1 0 -1 " + std::to_string(s.flags) + " 10 0 0 0 " +
                       std::to_string(s.utime) + " " + std::to_string(s.stime) +
                       " 0 0 20 0 1 0 100 " + std::to_string(s.vsize) + " " +
                       std::to_string(s.rss) + " 18446744073709551615";
    for (int field = 26; field <= 52; ++field) {
        line += " 0";
    }
    return line + "\n";
}

// An endpoint as /proc/net/{tcp,udp}[6] prints it: each 32-bit word of the
// network-order address as the native number it is in memory, then the port
// in host order.
template <size_t N> std::string tableEndpoint(const std::array<uint8_t, N>& address, int port) {
    static_assert(N == 4 || N == 16);
    std::string text;
    char word[10];
    for (size_t i = 0; i < N; i += 4) {
        uint32_t value = 0;
        std::memcpy(&value, address.data() + i, 4);
        std::snprintf(word, sizeof word, "%08X", value);
        text += word;
    }
    std::snprintf(word, sizeof word, ":%04X", port);
    return text + word;
}

inline std::array<uint8_t, 16> mappedV4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
}

inline std::array<uint8_t, 16> v6Loopback() {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
}

// A proc tree in a temporary directory: pid directories with stat lines, exe
// links and descriptor links, and the four socket table files under net/.
class ProcFixture {
public:
    ProcFixture() {
        for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
            dir_.write(std::string("net/") + table,
                       "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                       "retrnsmt   uid  timeout inode\n");
        }
    }

    std::string root() const { return dir_.str(); }
    const std::filesystem::path& path() const { return dir_.path(); }

    // A source reading this tree through its files, with fixed clock and page sizes.
    platform::proc::ProcSourceOptions options() const {
        platform::proc::ProcSourceOptions options;
        options.root = root();
        options.useNetlink = false;
        options.clockTicksPerSecond = 100;
        options.pageSize = 4096;
        return options;
    }

    void addStat(int pid, const FixtureStat& stat) {
        dir_.write(std::to_string(pid) + "/stat", statLine(pid, stat));
    }
    void addExe(int pid, const std::string& target) { link(std::to_string(pid) + "/exe", target); }
    // A descriptor: "socket:[N]" for a socket, any path otherwise.
    void addFd(int pid, int fd, const std::string& target) {
        link(std::to_string(pid) + "/fd/" + std::to_string(fd), target);
    }
    void addSocketFd(int pid, int fd, uint64_t inode) {
        addFd(pid, fd, "socket:[" + std::to_string(inode) + "]");
    }
    void addCgroup(int pid, const std::string& text) {
        dir_.write(std::to_string(pid) + "/cgroup", text);
    }
    void removePid(int pid) { std::filesystem::remove_all(dir_.path() / std::to_string(pid)); }

    // One line of /proc/net/<table>, fields as the kernel prints them
    // ("0100007F:1F90", state in hex).
    void addTableLine(const std::string& table, const std::string& local, const std::string& remote,
                      const std::string& state, uint64_t inode) {
        std::ofstream(dir_.path() / "net" / table, std::ios::app)
            << "   " << lines_++ << ": " << local << " " << remote << " " << state
            << " 00000000:00000000 00:00000000 00000000  1000        0 " << inode
            << " 1 0000000000000000 100 0 0 10 0\n";
    }

    const TempDir& dir() const { return dir_; }

private:
    void link(const std::string& relative, const std::string& target) {
        const auto at = dir_.path() / relative;
        std::filesystem::create_directories(at.parent_path());
        std::filesystem::create_symlink(target, at);
    }

    TempDir dir_;
    int lines_ = 0;
};

} // namespace korvel::testing
