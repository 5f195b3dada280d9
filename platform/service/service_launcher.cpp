#include "platform/service/service_launcher.h"

#include "platform/service/unix_socket.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <optional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace korvel::platform::service {
namespace {

using namespace std::chrono_literals;

// Another client starting the service holds the lock for a moment only.
constexpr auto kLaunchLockPatience = 2s;

// An exclusive flock on a file beside the socket. With a patience it gives up
// after that long (held() is false) instead of waiting on whoever holds it.
// Where the file system cannot lock, it goes on unlocked.
class FileLock {
public:
    FileLock(const std::string& path, std::optional<std::chrono::milliseconds> patience)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ < 0) {
            return; // no lock to take: go on without one
        }
        const auto giveUp = std::chrono::steady_clock::now() + patience.value_or(0ms);
        while (::flock(fd_, patience ? LOCK_EX | LOCK_NB : LOCK_EX) != 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EWOULDBLOCK) {
                return; // locks unsupported here: go on without one
            }
            if (std::chrono::steady_clock::now() >= giveUp) {
                held_ = false;
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return held_; }

private:
    int fd_;
    bool held_ = true;
};

constexpr int kFirstUnpassedDescriptor = 4; // after the standard streams and the socket

// Marks every descriptor from first on close-on-exec. In a forked child: only
// system calls.
void closeFromOnExec(int first) {
    if (::close_range(static_cast<unsigned>(first), ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    rlimit limit{}; // a kernel before 5.11: every possible descriptor
    const rlim_t end = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                           ? limit.rlim_cur
                           : 65536;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < end; ++fd) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    }
}

// Starts the executable detached (double fork, new session, in /) with
// listenFd as descriptor 3 and nothing else of ours. Returns 0 once exec
// succeeded, else the errno of the failure.
int spawnWithListenSocket(const std::string& executable, int listenFd) {
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed.
    std::vector<std::string> environment;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, "LISTEN_", 7) != 0) {
            environment.emplace_back(*e);
        }
    }
    environment.emplace_back("LISTEN_FDS=1");
    environment.emplace_back("LISTEN_FDNAMES=helper");
    environment.emplace_back(std::string("LISTEN_PID=") + std::string(16, '\0'));
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char* pidSlot = environment.back().data() + std::strlen("LISTEN_PID=");
    // The service outlives us: left holding our stderr when that is a pipe,
    // it would keep whoever reads the pipe (`fetch 2>&1 | ...`, a test
    // harness) waiting for an end of file until the service exits. A terminal
    // or a file keeps its messages where there is no journal.
    struct stat errorTarget {};
    const bool keepStderr = ::fstat(2, &errorTarget) == 0 && !S_ISFIFO(errorTarget.st_mode) &&
                            !S_ISSOCK(errorTarget.st_mode);
    std::string program = executable;
    std::array<char*, 2> argv{program.data(), nullptr};

    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) {
        return errno;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int saved = errno;
        ::close(status[0]);
        ::close(status[1]);
        return saved;
    }
    if (child == 0) {
        ::close(status[0]);
        if (::fork() != 0) {
            ::_exit(0);
        }
        ::setsid();
        if (listenFd != 3) {
            if (::dup2(listenFd, 3) < 0) {
                const int e = errno;
                (void)!::write(status[1], &e, sizeof e);
                ::_exit(127);
            }
        } else {
            ::fcntl(3, F_SETFD, 0);
        }
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            ::dup2(devNull, 1);
            if (!keepStderr) {
                ::dup2(devNull, 2);
            }
            if (devNull > 3) {
                ::close(devNull);
            }
        }
        // Nothing else of ours goes with it: an inherited pipe would keep its
        // reader waiting for an end of file, our directory would keep its
        // file system busy, for as long as the service runs.
        closeFromOnExec(kFirstUnpassedDescriptor);
        (void)!::chdir("/");
        // to_chars neither allocates nor locks, as a forked child requires.
        *std::to_chars(pidSlot, pidSlot + 15, ::getpid()).ptr = '\0';
        ::execve(argv[0], argv.data(), envp.data());
        const int e = errno;
        (void)!::write(status[1], &e, sizeof e);
        ::_exit(127);
    }
    ::close(status[1]);
    int waitStatus = 0;
    while (::waitpid(child, &waitStatus, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t n;
    while ((n = ::read(status[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    ::close(status[0]);
    return n == static_cast<ssize_t>(sizeof execError) ? execError : 0;
}

} // namespace

ServiceSocket connectOrLaunch(const std::string& socketPath, const std::string& executable,
                              bool mayLaunch) {
    ServiceSocket result;
    const auto connected = [&] {
        result.fd = connectUnixSocket(socketPath, /*nonBlocking=*/true);
        if (result.fd < 0 && errno == EAGAIN) {
            result.busy = true;
            result.error = "the service at " + socketPath + " accepts no connection";
        }
        return result.fd >= 0 || result.busy;
    };
    if (connected()) {
        return result;
    }
    if (!mayLaunch) {
        result.held = true;
        result.error = "nobody serves " + socketPath;
        return result;
    }
    FileLock lock(socketPath + ".lock", kLaunchLockPatience);
    if (!lock.held()) {
        result.busy = true;
        result.error = "another process holds " + socketPath + ".lock";
        return result;
    }
    // Another client may have started the service while we waited for the lock.
    if (connected()) {
        return result;
    }
    if (executable.empty()) {
        result.error = "cannot start the service: its program was not found";
        return result;
    }
    if (::access(executable.c_str(), X_OK) != 0) {
        result.error = "cannot start " + executable + ": " + std::strerror(errno);
        return result;
    }
    const int listenFd = listenUnixSocket(socketPath, /*removeStale=*/true);
    if (listenFd < 0) {
        result.error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
        return result;
    }
    // Queued before the service starts, so it finds a client waiting and can
    // never take itself for idle before serving us.
    result.fd = connectUnixSocket(socketPath, /*nonBlocking=*/true);
    const int failure = result.fd < 0 ? errno : spawnWithListenSocket(executable, listenFd);
    ::close(listenFd); // the service owns the listening socket now
    if (failure != 0) {
        if (result.fd >= 0) {
            ::close(result.fd);
            result.fd = -1;
        }
        ::unlink(socketPath.c_str());
        result.error = "cannot start " + executable + ": " + std::strerror(failure);
        return result;
    }
    result.launched = true;
    return result;
}

int listenUnlessServed(const std::string& socketPath) {
    FileLock lock(socketPath + ".lock", std::nullopt);
    const int probe = connectUnixSocket(socketPath, /*nonBlocking=*/true);
    if (probe >= 0 || errno == EAGAIN) {
        if (probe >= 0) {
            ::close(probe);
        }
        errno = EADDRINUSE;
        return -1;
    }
    return listenUnixSocket(socketPath, /*removeStale=*/true);
}

} // namespace korvel::platform::service
