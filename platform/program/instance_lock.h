#pragma once

#include <memory>
#include <string>

namespace korvel::platform {

// One holder at a time per lock file: an exclusive flock kept until the
// object is destroyed. The kernel drops it with the descriptor, so a holder
// that crashed never leaves it stuck. The file itself stays; it only carries
// the holder's pid for people reading it.
class InstanceLock {
public:
    enum class Outcome { acquired, heldElsewhere, failed };
    struct Result {
        Outcome outcome = Outcome::failed;
        std::unique_ptr<InstanceLock> lock; // set when acquired
        std::string error;                  // set when failed
    };

    // Creates the file (0600) when missing. Never waits for another holder.
    static Result acquire(const std::string& path);

    // Takes over a lock that this process received across an exec: the
    // descriptor must be open on path and hold its lock. The descriptor is
    // the lock's from then on, and closed when it is not adopted.
    static Result adopt(const std::string& path, int descriptor);

    // Lets the lock survive an exec of this process (keep), or not, and
    // returns the descriptor to name to the next program; -1 on failure.
    int keepAcrossExec(bool keep);

    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    const std::string& path() const { return path_; }

private:
    InstanceLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}

    std::string path_;
    int fd_;
};

} // namespace korvel::platform
