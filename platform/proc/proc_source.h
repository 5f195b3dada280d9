#pragma once

#include "platform/proc/inet_socket_table.h"
#include "platform/proc/proc_net_file.h"
#include "platform/proc/stat_line.h"
#include "platform/proc/usage_files.h"
#include "platform/system/roots.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvel::platform::proc {

struct TaskInfo {
    uint64_t userNS = 0;
    uint64_t systemNS = 0;
    uint64_t residentBytes = 0;
    uint64_t startTimeTicks = 0;
};

struct Descriptor {
    int32_t fd = -1;
    bool isSocket = false;
    uint64_t socketInode = 0; // for sockets: the inode the socket tables are keyed by
    bool isDrm = false;       // a GPU node under /dev/dri: its fdinfo tells the GPU's use
};

struct ProcSourceOptions {
    std::string root = kLiveProcRoot;
    // Dump the live kernel's socket tables over netlink, falling back to the
    // files under <root>/net table by table. Off for fixture trees, whose
    // tables can only be those files.
    bool useNetlink = true;
    uint64_t clockTicksPerSecond = 0; // 0: the kernel's USER_HZ
    uint64_t pageSize = 0;            // 0: the kernel's
};

// The process-information facts of one proc tree: process list, executable
// path, short name, task times and resident size, descriptor list, and the
// socket tables the descriptors point into. Every read goes through
// descriptors relative to the root opened at construction, so nothing is
// resolved from "/proc" twice. Not thread-safe except where said; one
// instance serves one request at a time and reuses its buffers.
class ProcSource {
public:
    explicit ProcSource(ProcSourceOptions options = {});
    ~ProcSource();
    ProcSource(const ProcSource&) = delete;
    ProcSource& operator=(const ProcSource&) = delete;

    // Numeric entries of the root in directory order, kernel threads left out
    // (they belong to the kernel, as process 0 does). Empty on failure.
    // Telling kernel threads apart means reading every stat line; the task
    // figures read there are kept and answered by taskInfo() for this list.
    std::vector<int32_t> listAllPids();

    // Every numeric entry of the root, kernel threads included, without
    // reading a file: cheap enough to take several times a second.
    std::vector<int32_t> listPidEntries();

    // The TCP connections this network namespace has opened so far (see
    // parseTcpOpens); no value when the counters cannot be read.
    std::optional<uint64_t> tcpConnectionsOpened();

    // When the machine booted (Unix seconds, the "btime" line of stat): with
    // it a process's start is the same at every reading. No value when unread.
    std::optional<uint64_t> bootTime();

    // The target of the `exe` link: raw bytes, valid until the next call. A
    // link to a deleted file reads without the kernel's " (deleted)" suffix.
    // No value for kernel threads, zombies, processes that are gone or not ours.
    std::optional<std::string_view> executablePath(int32_t pid);

    // The kernel's short name (comm), read afresh; valid until the next call.
    std::optional<std::string_view> shortName(int32_t pid);

    // The arguments the process was started with (argv[0] first), from the
    // head of its cmdline file: an argument cut there is left out. Valid
    // until the next call. Empty for kernel threads and zombies; no value
    // when the file cannot be read.
    std::optional<std::vector<std::string_view>> commandLine(int32_t pid);

    // CPU times in nanoseconds and resident bytes, as of the last listing when
    // it listed this pid, else read now.
    std::optional<TaskInfo> taskInfo(int32_t pid);
    // The unit of TaskInfo::startTimeTicks.
    uint64_t clockTicksPerSecond() const { return options_.clockTicksPerSecond; }

    // CPU time of all the process's threads, to the nanosecond, from its CPU
    // clock. Unlike the tick counts of its stat line it moves whenever any of
    // its threads has run. No value when the process is gone or the source is
    // not the live kernel's.
    std::optional<uint64_t> cpuRuntimeNS(int32_t pid) const;

    // The owner of the process's directory: its effective uid, read without
    // opening a file. No value when the process is gone.
    std::optional<uint32_t> ownerUid(int32_t pid);

    // The process's cgroup path (see parseCgroupPath), valid until the next
    // call. No value when the file is gone or names no usable hierarchy.
    std::optional<std::string_view> cgroupPath(int32_t pid);

    // The same two facts of the process reading the tree, through its "self".
    std::optional<uint32_t> selfOwnerUid();
    std::optional<std::string_view> selfCgroupPath();

    // The open descriptors in ascending order, as the kernel lists them. False when the
    // list cannot be read at all; a descriptor closed while being read is
    // simply not listed. The caller's directory buffer makes it safe to call
    // from several threads at once, as socketInfo() is once the tables are loaded.
    bool listDescriptors(int32_t pid, std::vector<Descriptor>& out,
                         std::vector<char>& directoryBuffer) const;

    // The usage a GPU descriptor's fdinfo tells, read afresh. No value when it
    // closed meanwhile or names no client.
    std::optional<DrmClient> drmClient(int32_t pid, int32_t fd);
    // The storage bytes of /proc/<pid>/io. No value for another user's process
    // (the kernel asks for ptrace rights), never a zero in its place. The
    // caller's buffer makes it safe beside the other walkers.
    std::optional<IoCounters> ioCounters(int32_t pid, std::string& buffer) const;

    // Reads the TCP and UDP tables of both families, replacing the last ones.
    // It shares no buffer with the per-process readers, which may run on
    // another thread meanwhile.
    void loadSocketTables();
    // The inode naming a process's network namespace (pid 0: the reader's);
    // no value when unreadable.
    std::optional<uint64_t> networkNamespace(int32_t pid) const;
    // Adds the text tables of other network namespaces, each read through
    // one of its processes, which the loaded tables cannot see. They carry
    // neither cookies nor byte counters; socket inodes are the machine's, so
    // the tables merge.
    void addNamespaceSocketTables(const std::vector<int32_t>& pids);
    // The interface bytes of the process's network namespace (its
    // /proc/PID/net/dev, loopback left out).
    std::optional<InterfaceTotals> namespaceInterfaceBytes(int32_t pid);
    const SocketInfo* socketInfo(uint64_t inode) const { return sockets_.find(inode); }
    size_t socketCount() const { return sockets_.size(); }
    // How many of the four tables the last load took from netlink.
    int kernelDumpedTables() const { return kernelDumpedTables_; }

private:
    // The process's stat line, read into statBuffer_ (valid until the next read).
    std::optional<StatLine> readStat(int32_t pid);
    std::optional<uint32_t> ownerUidAt(const char* directory);
    std::optional<std::string_view> cgroupPathAt(const char* file);
    TaskInfo taskFromStat(const StatLine& stat) const;

    ProcSourceOptions options_;
    int rootFd_ = -1;
    std::vector<char> directoryBuffer_;
    std::string linkBuffer_;
    std::string statBuffer_;
    std::string cgroupBuffer_;
    std::string commandLineBuffer_;
    std::vector<std::pair<int32_t, TaskInfo>> listedTasks_; // sorted by pid
    InetSocketTable sockets_;
    int kernelDumpedTables_ = 0;
};

} // namespace korvel::platform::proc
