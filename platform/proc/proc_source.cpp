#include "platform/proc/proc_source.h"

#include "platform/proc/cgroup_line.h"
#include "platform/proc/proc_net_file.h"
#include "platform/proc/sock_diag.h"
#include "platform/proc/stat_line.h"
#include "platform/system/text_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace korvel::platform::proc {
namespace {

constexpr size_t kMaxPath = 4096;
constexpr size_t kDirectoryBuffer = 32 * 1024;
// Enough for an interpreter, its options and its script; the rest of a long
// command line is only the script's own arguments.
constexpr size_t kCommandLineBytes = 4096;
constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr std::string_view kSocketPrefix = "socket:[";

// "<pid>/<leaf>" relative to the root descriptor, without allocating.
class PidPath {
public:
    PidPath(int32_t pid, std::string_view leaf) {
        char* end = std::to_chars(text_, text_ + 12, pid).ptr;
        *end++ = '/';
        std::memcpy(end, leaf.data(), leaf.size());
        end[leaf.size()] = '\0';
    }
    const char* c_str() const { return text_; }

private:
    char text_[32];
};

// The number a directory entry is named by: decimal digits only (no sign), within int32_t.
std::optional<int32_t> entryNumber(const char* name) {
    return *name >= '0' && *name <= '9' ? wholeNumber<int32_t>(name) : std::nullopt;
}

int openAt(int dirFd, const char* path, int flags) {
    int fd;
    do {
        fd = ::openat(dirFd, path, O_RDONLY | O_CLOEXEC | flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int openDirectoryAt(int dirFd, const char* path) {
    return openAt(dirFd, path, O_DIRECTORY);
}

// Reads from fd into out from `used` on until out is full or the file ends.
// False when a read fails.
bool fill(int fd, std::string& out, size_t& used) {
    while (used < out.size()) {
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    return true;
}

// Reads a whole file below dirFd into out (replaced). False when it cannot
// be opened or read.
bool readFileAt(int dirFd, const char* path, std::string& out, size_t chunk) {
    const int fd = openAt(dirFd, path, 0);
    if (fd < 0) {
        return false;
    }
    size_t used = 0;
    bool read = true;
    do {
        out.resize(used + chunk);
        read = fill(fd, out, used);
    } while (read && used == out.size());
    ::close(fd);
    out.resize(read ? used : 0);
    return read;
}

// Reads at most `limit` bytes of a file below dirFd into out (replaced);
// `cut` says whether more followed. False when it cannot be opened or read.
bool readHeadAt(int dirFd, const char* path, std::string& out, size_t limit, bool& cut) {
    const int fd = openAt(dirFd, path, 0);
    if (fd < 0) {
        return false;
    }
    out.resize(limit + 1); // the byte past the limit tells whether it was reached
    size_t used = 0;
    const bool read = fill(fd, out, used);
    ::close(fd);
    cut = used > limit;
    out.resize(read ? std::min(used, limit) : 0);
    return read;
}

// The NUL-terminated arguments of a cmdline file's head. The last one may
// lack its NUL (a process that rewrote its title); it is whole unless cut.
std::vector<std::string_view> splitArguments(std::string_view bytes, bool cut) {
    std::vector<std::string_view> arguments;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\0');
        if (end == std::string_view::npos && cut) {
            break;
        }
        arguments.push_back(bytes.substr(0, end));
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    }
    return arguments;
}

bool byNumber(const Descriptor& a, const Descriptor& b) {
    return a.fd < b.fd;
}

// How far a directory was read: every entry, those before a read failed, or
// none because the first read failed.
enum class Listing { whole, cut, unreadable };

// Calls visit(name) for each entry of the directory open at dirFd, read
// through buffer with getdents64.
template <typename Visit> Listing forEachEntry(int dirFd, std::vector<char>& buffer, Visit visit) {
    bool anyRead = false;
    for (;;) {
        const ssize_t n = ::getdents64(dirFd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return anyRead ? Listing::cut : Listing::unreadable;
        }
        if (n == 0) {
            return Listing::whole;
        }
        anyRead = true;
        for (size_t offset = 0; offset < static_cast<size_t>(n);) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + offset);
            visit(entry->d_name);
            offset += entry->d_reclen;
        }
    }
}

} // namespace

ProcSource::ProcSource(ProcSourceOptions options) : options_(std::move(options)) {
    rootFd_ = openDirectoryAt(AT_FDCWD, options_.root.c_str());
    if (options_.clockTicksPerSecond == 0) {
        const long ticks = ::sysconf(_SC_CLK_TCK);
        options_.clockTicksPerSecond = ticks > 0 ? static_cast<uint64_t>(ticks) : 100;
    }
    if (options_.pageSize == 0) {
        const long page = ::sysconf(_SC_PAGESIZE);
        options_.pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
    }
    directoryBuffer_.resize(kDirectoryBuffer);
    linkBuffer_.resize(kMaxPath);
}

ProcSource::~ProcSource() {
    if (rootFd_ >= 0) {
        ::close(rootFd_);
    }
}

TaskInfo ProcSource::taskFromStat(const StatLine& stat) const {
    const uint64_t hz = options_.clockTicksPerSecond;
    const auto nanoseconds = [hz](uint64_t ticks) {
        return ticks / hz * 1000000000ULL + ticks % hz * 1000000000ULL / hz;
    };
    return {nanoseconds(stat.utimeTicks), nanoseconds(stat.stimeTicks),
            stat.rssPages * options_.pageSize, stat.startTimeTicks};
}

std::optional<StatLine> ProcSource::readStat(int32_t pid) {
    if (rootFd_ < 0 || pid <= 0 ||
        !readFileAt(rootFd_, PidPath(pid, "stat").c_str(), statBuffer_, 1024)) {
        return std::nullopt;
    }
    return parseStatLine(statBuffer_);
}

std::vector<int32_t> ProcSource::listAllPids() {
    listedTasks_.clear();
    std::vector<int32_t> pids;
    const int dirFd = rootFd_ < 0 ? -1 : openDirectoryAt(rootFd_, ".");
    if (dirFd < 0) {
        return pids;
    }
    struct Listed {
        int32_t pid;
        int32_t ppid;
        bool kernelFlag;
        bool noAddressSpace;
    };
    std::vector<Listed> listed;
    listed.reserve(1024);
    const Listing listing = forEachEntry(dirFd, directoryBuffer_, [&](const char* name) {
        const auto pid = entryNumber(name);
        if (!pid || *pid <= 0) {
            return;
        }
        Listed entry{*pid, 0, false, false};
        if (const auto stat = readStat(*pid)) {
            entry.ppid = stat->ppid;
            entry.kernelFlag = (stat->flags & kKernelThreadFlag) != 0;
            entry.noAddressSpace = stat->vsizeBytes == 0;
            listedTasks_.emplace_back(*pid, taskFromStat(*stat));
        }
        listed.push_back(entry);
    });
    ::close(dirFd);
    if (listing != Listing::whole) {
        listedTasks_.clear();
        return pids;
    }

    // Kernel threads carry the kernel-thread flag. Children of kthreadd without
    // an address space are caught too, but only when pid 2 is kthreadd: in a
    // pid namespace pid 2 is an ordinary process with ordinary (zombie) children.
    const bool kthreaddListed = std::any_of(
        listed.begin(), listed.end(), [](const Listed& e) { return e.pid == 2 && e.kernelFlag; });
    pids.reserve(listed.size());
    for (const Listed& entry : listed) {
        const bool kernelThread =
            entry.kernelFlag || (kthreaddListed && entry.ppid == 2 && entry.noAddressSpace);
        if (!kernelThread) {
            pids.push_back(entry.pid);
        }
    }
    std::sort(listedTasks_.begin(), listedTasks_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return pids;
}

std::vector<int32_t> ProcSource::listPidEntries() {
    std::vector<int32_t> pids;
    const int dirFd = rootFd_ < 0 ? -1 : openDirectoryAt(rootFd_, ".");
    if (dirFd < 0) {
        return pids;
    }
    forEachEntry(dirFd, directoryBuffer_, [&](const char* name) {
        if (const auto pid = entryNumber(name); pid && *pid > 0) {
            pids.push_back(*pid);
        }
    });
    ::close(dirFd);
    return pids;
}

std::optional<uint64_t> ProcSource::tcpConnectionsOpened() {
    if (rootFd_ < 0 || !readFileAt(rootFd_, "net/snmp", statBuffer_, 4096)) {
        return std::nullopt;
    }
    return parseTcpOpens(statBuffer_);
}

std::optional<uint64_t> ProcSource::bootTime() {
    if (rootFd_ < 0 || !readFileAt(rootFd_, "stat", statBuffer_, 1 << 16)) {
        return std::nullopt;
    }
    const auto line = statBuffer_.find("\nbtime ");
    uint64_t seconds = 0;
    const char* first = line == std::string::npos ? nullptr : statBuffer_.data() + line + 7;
    if (first == nullptr ||
        std::from_chars(first, statBuffer_.data() + statBuffer_.size(), seconds).ec !=
            std::errc()) {
        return std::nullopt;
    }
    return seconds;
}

std::optional<DrmClient> ProcSource::drmClient(int32_t pid, int32_t fd) {
    char path[48];
    const int n = std::snprintf(path, sizeof path, "%d/fdinfo/%d", pid, fd);
    if (rootFd_ < 0 || pid <= 0 || n <= 0 || !readFileAt(rootFd_, path, statBuffer_, 4096)) {
        return std::nullopt;
    }
    return parseDrmFdinfo(statBuffer_);
}

std::optional<IoCounters> ProcSource::ioCounters(int32_t pid, std::string& buffer) const {
    if (rootFd_ < 0 || pid <= 0 || !readFileAt(rootFd_, PidPath(pid, "io").c_str(), buffer, 512)) {
        return std::nullopt;
    }
    return parseProcIo(buffer);
}

std::optional<std::string_view> ProcSource::executablePath(int32_t pid) {
    if (rootFd_ < 0 || pid <= 0) {
        return std::nullopt;
    }
    const PidPath exe(pid, "exe");
    const ssize_t n = ::readlinkat(rootFd_, exe.c_str(), linkBuffer_.data(), kMaxPath);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxPath) {
        return std::nullopt; // unreadable, or too long to be whole
    }
    std::string_view path(linkBuffer_.data(), static_cast<size_t>(n));
    if (path.size() > kDeletedSuffix.size() && path.ends_with(kDeletedSuffix)) {
        // The kernel marks an unlinked executable this way; a file really
        // named so still has a link and keeps its whole name.
        struct stat target {};
        if (::fstatat(rootFd_, exe.c_str(), &target, 0) != 0 || target.st_nlink == 0) {
            path.remove_suffix(kDeletedSuffix.size());
        }
    }
    return path;
}

std::optional<std::string_view> ProcSource::shortName(int32_t pid) {
    const auto stat = readStat(pid);
    return stat ? std::optional(stat->comm) : std::nullopt;
}

std::optional<std::vector<std::string_view>> ProcSource::commandLine(int32_t pid) {
    bool cut = false;
    if (rootFd_ < 0 || pid <= 0 ||
        !readHeadAt(rootFd_, PidPath(pid, "cmdline").c_str(), commandLineBuffer_, kCommandLineBytes,
                    cut)) {
        return std::nullopt;
    }
    return splitArguments(commandLineBuffer_, cut);
}

std::optional<TaskInfo> ProcSource::taskInfo(int32_t pid) {
    const auto listed = std::lower_bound(
        listedTasks_.begin(), listedTasks_.end(), pid,
        [](const std::pair<int32_t, TaskInfo>& entry, int32_t key) { return entry.first < key; });
    if (listed != listedTasks_.end() && listed->first == pid) {
        return listed->second;
    }
    const auto stat = readStat(pid);
    return stat ? std::optional(taskFromStat(*stat)) : std::nullopt;
}

std::optional<uint64_t> ProcSource::cpuRuntimeNS(int32_t pid) const {
    clockid_t clock;
    timespec runtime{};
    if (options_.root != kLiveProcRoot || pid <= 0 || ::clock_getcpuclockid(pid, &clock) != 0 ||
        ::clock_gettime(clock, &runtime) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(runtime.tv_sec) * 1000000000ULL +
           static_cast<uint64_t>(runtime.tv_nsec);
}

std::optional<uint32_t> ProcSource::ownerUidAt(const char* directory) {
    struct stat info {};
    if (rootFd_ < 0 || ::fstatat(rootFd_, directory, &info, 0) != 0) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(info.st_uid);
}

std::optional<std::string_view> ProcSource::cgroupPathAt(const char* file) {
    if (rootFd_ < 0 || !readFileAt(rootFd_, file, cgroupBuffer_, 512)) {
        return std::nullopt;
    }
    return parseCgroupPath(cgroupBuffer_);
}

std::optional<uint32_t> ProcSource::ownerUid(int32_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    char directory[16];
    *std::to_chars(directory, directory + sizeof directory - 1, pid).ptr = '\0';
    return ownerUidAt(directory);
}

std::optional<std::string_view> ProcSource::cgroupPath(int32_t pid) {
    return pid > 0 ? cgroupPathAt(PidPath(pid, "cgroup").c_str()) : std::nullopt;
}

std::optional<uint32_t> ProcSource::selfOwnerUid() {
    return ownerUidAt("self");
}

std::optional<std::string_view> ProcSource::selfCgroupPath() {
    return cgroupPathAt("self/cgroup");
}

bool ProcSource::listDescriptors(int32_t pid, std::vector<Descriptor>& out,
                                 std::vector<char>& directoryBuffer) const {
    if (directoryBuffer.size() < kDirectoryBuffer) {
        directoryBuffer.resize(kDirectoryBuffer);
    }
    out.clear();
    if (rootFd_ < 0 || pid <= 0) {
        return false;
    }
    const int dirFd = openDirectoryAt(rootFd_, PidPath(pid, "fd").c_str());
    if (dirFd < 0) {
        return false;
    }
    char link[64];
    const Listing listing = forEachEntry(dirFd, directoryBuffer, [&](const char* name) {
        const auto fd = entryNumber(name);
        if (!fd) {
            return;
        }
        const ssize_t length = ::readlinkat(dirFd, name, link, sizeof link);
        if (length <= 0) {
            return; // closed since the listing
        }
        Descriptor descriptor;
        descriptor.fd = *fd;
        const std::string_view target(link, static_cast<size_t>(length));
        descriptor.isDrm = target.starts_with("/dev/dri/");
        if (target.starts_with(kSocketPrefix) && target.back() == ']') {
            const std::string_view inode =
                target.substr(kSocketPrefix.size(), target.size() - kSocketPrefix.size() - 1);
            descriptor.isSocket = parseWhole(inode, descriptor.socketInode);
        }
        out.push_back(descriptor);
    });
    ::close(dirFd);
    // The kernel lists descriptors in ascending order; other trees may not.
    if (!std::is_sorted(out.begin(), out.end(), byNumber)) {
        std::sort(out.begin(), out.end(), byNumber);
    }
    // A read that failed after the first means the process went away: keep what was read.
    return listing != Listing::unreadable;
}

namespace {

struct SocketTableFile {
    Family family;
    Transport transport;
    const char* file;
};
constexpr SocketTableFile kTables[] = {
    {Family::inet, Transport::tcp, "net/tcp"},
    {Family::inet6, Transport::tcp, "net/tcp6"},
    {Family::inet, Transport::udp, "net/udp"},
    {Family::inet6, Transport::udp, "net/udp6"},
};

} // namespace

std::optional<uint64_t> ProcSource::networkNamespace(int32_t pid) const {
    struct stat info {};
    const char* path = pid == 0 ? "self/ns/net" : nullptr;
    const PidPath pidPath(pid, "ns/net");
    if (rootFd_ < 0 || ::fstatat(rootFd_, path ? path : pidPath.c_str(), &info, 0) != 0) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(info.st_ino);
}

void ProcSource::addNamespaceSocketTables(const std::vector<int32_t>& pids) {
    std::string text;
    for (const int32_t pid : pids) {
        for (const SocketTableFile& table : kTables) {
            if (readFileAt(rootFd_, PidPath(pid, table.file).c_str(), text, 64 * 1024)) {
                parseProcNetTable(text, table.family, table.transport, sockets_);
            }
        }
    }
    sockets_.index();
}

std::optional<InterfaceTotals> ProcSource::namespaceInterfaceBytes(int32_t pid) {
    if (rootFd_ < 0 || !readFileAt(rootFd_, PidPath(pid, "net/dev").c_str(), statBuffer_, 4096)) {
        return std::nullopt;
    }
    return parseNetDevTotals(statBuffer_);
}

void ProcSource::loadSocketTables() {
    sockets_.clear();
    kernelDumpedTables_ = 0;
    std::optional<SockDiagSocket> netlink;
    if (options_.useNetlink) {
        netlink.emplace();
    }
    const bool tcpDumped = netlink && netlink->dumpTcpBothFamilies(sockets_);
    kernelDumpedTables_ = tcpDumped ? 2 : 0;
    std::string text;
    for (const SocketTableFile& table : kTables) {
        if (table.transport == Transport::tcp && tcpDumped) {
            continue;
        }
        if (netlink && netlink->dump(table.family, table.transport, sockets_)) {
            ++kernelDumpedTables_;
            continue;
        }
        if (rootFd_ >= 0 && readFileAt(rootFd_, table.file, text, 64 * 1024)) {
            parseProcNetTable(text, table.family, table.transport, sockets_);
        }
    }
    sockets_.index();
}

} // namespace korvel::platform::proc
