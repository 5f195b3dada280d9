#include "platform/defaults/defaults_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    return stamp;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return ReadResult::missing;
        }
        error = describe("cannot open", path);
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

DirectoryLock::DirectoryLock(const std::string& directory)
    : fd_(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool replaceFile(const std::string& path, std::string_view contents, FileStamp& written,
                 std::string& error, unsigned permissions) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = describe("cannot create a file beside", path);
        return false;
    }
    struct stat st {};
    const bool ok = (permissions == 0600 || ::fchmod(fd, permissions) == 0) &&
                    writeAll(fd, contents) && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0;
    if (!ok) {
        error = describe("cannot write", temp);
    }
    if (::close(fd) != 0 && ok) {
        error = describe("cannot write", temp);
        ::unlink(temp.c_str());
        return false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = describe("cannot replace", path);
        ::unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; failing here loses nothing already visible.
    if (const int dir = ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    written = stampOf(st);
    return true;
}

bool renameFile(const std::string& from, const std::string& to, std::string& error) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        error = describe("cannot rename " + from + " to", to);
        return false;
    }
    return true;
}

} // namespace korvel::platform::defaults
