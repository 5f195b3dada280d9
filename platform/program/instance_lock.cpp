#include "platform/program/instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

InstanceLock::Result InstanceLock::adopt(const std::string& path, int descriptor) {
    Result result;
    struct stat held {};
    struct stat named {};
    if (descriptor < 0 || ::fstat(descriptor, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
        held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        result.error = "descriptor " + std::to_string(descriptor) + " is not open on " + path;
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return result;
    }
    // Locking again through the same open file succeeds only if it holds the lock.
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        result.outcome = saved == EWOULDBLOCK ? Outcome::heldElsewhere : Outcome::failed;
        result.error = "cannot lock " + path + ": " + std::strerror(saved);
        ::close(descriptor);
        return result;
    }
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    result.outcome = Outcome::acquired;
    result.lock.reset(new InstanceLock(path, descriptor));
    return result;
}

int InstanceLock::keepAcrossExec(bool keep) {
    const int flags = ::fcntl(fd_, F_GETFD);
    if (flags < 0 || ::fcntl(fd_, F_SETFD, keep ? flags & ~FD_CLOEXEC : flags | FD_CLOEXEC) != 0) {
        return -1;
    }
    return fd_;
}

InstanceLock::~InstanceLock() {
    // Closing the descriptor releases the lock.
    ::close(fd_);
}

} // namespace korvel::platform
