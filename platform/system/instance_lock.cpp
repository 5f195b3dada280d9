#include "platform/system/instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace korvel::platform {

InstanceLock::Result InstanceLock::acquire(const std::string& path) {
    Result result;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        result.error = "cannot open " + path + ": " + std::strerror(errno);
        return result;
    }
    int status;
    do {
        status = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (status != 0 && errno == EINTR);
    if (status != 0) {
        const int saved = errno;
        ::close(fd);
        if (saved == EWOULDBLOCK) {
            result.outcome = Outcome::heldElsewhere;
        } else {
            result.error = "cannot lock " + path + ": " + std::strerror(saved);
        }
        return result;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    result.outcome = Outcome::acquired;
    result.lock.reset(new InstanceLock(path, fd));
    return result;
}

InstanceLock::~InstanceLock() {
    // Closing the descriptor releases the lock.
    ::close(fd_);
}

} // namespace korvel::platform
