#include "platform/system/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace korvel::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Without a process descriptor to wait on, the child's exit is checked this often.
constexpr std::chrono::milliseconds kExitCheckInterval{10};
// Reads after the child has exited; bounds a descendant that keeps writing.
constexpr int kMaxFinalReads = 1024;

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int openProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Reads what the pipe holds now. Closes it at end of file or on an error.
// With a sink, keeps at most limit bytes in it and clears complete past that.
void drain(int& fd, std::string* sink, size_t limit, bool& complete, int maxReads = -1) {
    char buffer[65536];
    for (int reads = 0; fd >= 0 && reads != maxReads; ++reads) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (sink != nullptr) {
                const size_t room = limit - std::min(limit, sink->size());
                const size_t kept = std::min(room, static_cast<size_t>(n));
                sink->append(buffer, kept);
                complete = complete && kept == static_cast<size_t>(n);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        closeFd(fd);
    }
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup(int outWrite, int errWrite) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outWrite, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errWrite, STDERR_FILENO);
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#endif
        posix_spawnattr_init(&attributes);
        // The caller may ignore SIGPIPE or block signals; the tool gets the defaults.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        // Its own group, so the deadline can end whatever it started too.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

std::optional<ChildProcessResult> runChildProcess(const std::string& path,
                                                  const std::vector<std::string>& arguments,
                                                  const ChildProcessLimits& limits) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return std::nullopt;
    }

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    int spawnError = 0;
    {
        SpawnSetup setup(outPipe[1], errPipe[1]);
        spawnError = ::posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes,
                                   argv.data(), environ);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    int outFd = outPipe[0];
    int errFd = errPipe[0];
    if (spawnError != 0) {
        closeFd(outFd);
        closeFd(errFd);
        return std::nullopt;
    }
    ::fcntl(outFd, F_SETFL, ::fcntl(outFd, F_GETFL) | O_NONBLOCK);
    ::fcntl(errFd, F_SETFL, ::fcntl(errFd, F_GETFL) | O_NONBLOCK);
    int exitFd = openProcessDescriptor(pid);

    ChildProcessResult result;
    bool discardedComplete = true;
    int status = 0;
    bool exited = false;
    const auto deadline = Clock::now() + limits.deadline;
    while (!exited) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            result.exitStatus.reset();
            closeFd(outFd);
            closeFd(errFd);
            closeFd(exitFd);
            return result;
        }
        pollfd fds[3];
        nfds_t count = 0;
        for (const int fd : {outFd, errFd, exitFd}) {
            if (fd >= 0) {
                fds[count++] = {fd, POLLIN, 0};
            }
        }
        const auto wait = exitFd >= 0 ? remaining : std::min(remaining, kExitCheckInterval);
        if (::poll(fds, count, static_cast<int>(wait.count())) < 0 && errno != EINTR) {
            break;
        }
        drain(outFd, &result.standardOutput, limits.maxOutputBytes, result.outputComplete);
        drain(errFd, nullptr, 0, discardedComplete);
        pid_t reaped = 0;
        while ((reaped = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        exited = reaped == pid;
    }
    if (!exited) {
        // poll itself failed: there is no way to watch the child any more.
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // Everything the child wrote before it exited is in the pipes now.
    drain(outFd, &result.standardOutput, limits.maxOutputBytes, result.outputComplete,
          kMaxFinalReads);
    drain(errFd, nullptr, 0, discardedComplete, kMaxFinalReads);
    closeFd(outFd);
    closeFd(errFd);
    closeFd(exitFd);
    if (exited && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

} // namespace korvel::platform
