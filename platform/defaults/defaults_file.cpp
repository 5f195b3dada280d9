#include "platform/defaults/defaults_file.h"

#include "platform/system/text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::platform::defaults {

namespace {

std::string describe(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

FileStamp stampOf(const struct stat& st) {
    FileStamp stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modifiedNanos =
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    stamp.changedNanos =
        static_cast<int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
    return stamp;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

FileStamp stampFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    return stampOf(st);
}

ReadResult readWholeFile(const std::string& path, size_t maxBytes, std::string& contents,
                         std::string& error) {
    // Non-blocking, so a FIFO planted here cannot stall the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return ReadResult::missing;
        }
        error = describe("cannot open", path);
        return ReadResult::failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
        ::close(fd);
        return ReadResult::failed;
    }
    contents.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = describe("cannot read", path);
            ::close(fd);
            return ReadResult::failed;
        }
        if (n == 0) {
            break;
        }
        if (contents.size() + static_cast<size_t>(n) > maxBytes) {
            error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
            ::close(fd);
            return ReadResult::failed;
        }
        contents.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadResult::ok;
}

bool ensureDirectory(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return true;
        }
        error = path + " exists and is not a directory";
        return false;
    }
    const std::string parent = parentOf(path);
    if (parent != path && !ensureDirectory(parent, error)) {
        return false;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = describe("cannot create", path);
        return false;
    }
    return true;
}

DirectoryLock::DirectoryLock(const std::string& directory, bool wait)
    : fd_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) {
        return;
    }
    int result = 0;
    while ((result = ::flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    held_ = result == 0;
    busy_ = !held_ && errno == EWOULDBLOCK;
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool replaceFile(const std::string& path, std::string_view contents, FileStamp& written,
                 std::string& error) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = describe("cannot create a file beside", path);
        return false;
    }
    if (!writeAll(fd, contents) || ::fsync(fd) != 0) {
        error = describe("cannot write", temp);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = describe("cannot replace", path);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    // Stamped after the rename, which changes the file's change time.
    struct stat st {};
    const bool stamped = ::fstat(fd, &st) == 0;
    ::close(fd);
    // Make the rename itself durable; failing here loses nothing already visible.
    if (const int dir = ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    written = stamped ? stampOf(st) : FileStamp{};
    return true;
}

std::string moveAside(const std::string& from, std::string& error) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y%m%dT%H%M%SZ", &utc);
    const std::string stem = from + ".corrupt-" + when;
    for (int n = 1; n < 1000; ++n) {
        const std::string to = n == 1 ? stem : stem + "-" + std::to_string(n);
        // Never over an earlier one: each may hold settings the user wants back.
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            return to;
        }
        // File systems without the flag: a hard link refuses to replace too.
        if (errno == EINVAL && ::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return to;
        }
        if (errno != EEXIST) {
            error = describe("cannot rename " + from + " to", to);
            return {};
        }
    }
    error = "cannot find a free name to move " + from + " aside";
    return {};
}

} // namespace korvel::platform::defaults
