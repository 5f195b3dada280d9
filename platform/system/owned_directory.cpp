#include "platform/system/owned_directory.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvel::platform {
namespace {

constexpr std::string_view kTemporaryLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kTemporarySuffixLength = 6;

bool ownedByUs(const struct stat& st) {
    // Group or world write would let someone else swap what lies inside.
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

std::string failure(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Opens (or creates) one component below parent without following a link.
int openComponent(int parent, const std::string& name, const std::string& shown, bool create,
                  std::string& error) {
    if (name == "." || name == "..") {
        error = shown + " is not a plain directory name";
        return -1;
    }
    int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
            error = failure("cannot create " + shown);
            return -1;
        }
        fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
        error = errno == ELOOP || errno == ENOTDIR ? shown + " is not a directory (a link?)"
                                                   : failure("cannot open " + shown);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !ownedByUs(st)) {
        error = shown + " is not a private directory of ours";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool isTemporaryOf(std::string_view entry, std::string_view name) {
    return entry.size() == name.size() + 1 + kTemporarySuffixLength && entry.starts_with(name) &&
           entry[name.size()] == '.' &&
           entry.substr(name.size() + 1).find_first_not_of(kTemporaryLetters) ==
               std::string_view::npos;
}

int sweep(int directory, std::string_view name, double minimumAgeSeconds) {
    const int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listing < 0 ? nullptr : ::fdopendir(listing);
    if (dir == nullptr) {
        if (listing >= 0) {
            ::close(listing);
        }
        return 0;
    }
    const std::time_t now = std::time(nullptr);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTemporaryOf(entry->d_name, name)) {
            continue;
        }
        struct stat st {};
        if (::fstatat(directory, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
            static_cast<double>(now - st.st_mtime) < minimumAgeSeconds) {
            continue;
        }
        if (::unlinkat(directory, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(dir);
    return removed;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::optional<OwnedDirectory> OwnedDirectory::open(const std::string& base,
                                                   std::string_view relative, bool followBase,
                                                   bool create, std::string& error) {
    int fd =
        ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followBase ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        error = failure("cannot open " + base);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !ownedByUs(st)) {
        error = base + " is not a private directory of ours";
        ::close(fd);
        return std::nullopt;
    }
    std::string shown = base;
    while (!relative.empty()) {
        const auto slash = relative.find('/');
        const std::string name(relative.substr(0, slash));
        relative =
            slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
        if (name.empty()) {
            continue;
        }
        shown += "/" + name;
        const int next = openComponent(fd, name, shown, create, error);
        ::close(fd);
        if (next < 0) {
            return std::nullopt;
        }
        fd = next;
    }
    return OwnedDirectory(fd);
}

OwnedDirectory::OwnedDirectory(OwnedDirectory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

OwnedDirectory::~OwnedDirectory() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool OwnedDirectory::replaceFile(std::string_view name, std::string_view contents,
                                 std::string& error) const {
    const std::string target(name);
    std::random_device random;
    std::uniform_int_distribution<size_t> letter(0, kTemporaryLetters.size() - 1);
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".";
        for (size_t i = 0; i < kTemporarySuffixLength; ++i) {
            temp += kTemporaryLetters[letter(random)];
        }
        fd =
            ::openat(fd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        error = failure("cannot create a file beside " + target);
        return false;
    }
    const bool written = writeAll(fd, contents);
    if (!written) {
        error = failure("cannot write " + temp);
    }
    if (::close(fd) != 0 && written) {
        error = failure("cannot write " + temp);
        ::unlinkat(fd_, temp.c_str(), 0);
        return false;
    }
    if (!written) {
        ::unlinkat(fd_, temp.c_str(), 0);
        return false;
    }
    if (::renameat(fd_, temp.c_str(), fd_, target.c_str()) != 0) {
        error = failure("cannot replace " + target);
        ::unlinkat(fd_, temp.c_str(), 0);
        return false;
    }
    return true;
}

void OwnedDirectory::removeFile(std::string_view name) const {
    ::unlinkat(fd_, std::string(name).c_str(), 0);
}

int OwnedDirectory::removeStaleTemporaries(std::string_view name, double minimumAgeSeconds) const {
    return sweep(fd_, name, minimumAgeSeconds);
}

int removeStaleTemporaries(const std::string& directory, std::string_view name,
                           double minimumAgeSeconds) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    const int removed = sweep(fd, name, minimumAgeSeconds);
    ::close(fd);
    return removed;
}

Ownership directoryOwnership(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? Ownership::missing : Ownership::foreign;
    }
    return ownedByUs(st) ? Ownership::ours : Ownership::foreign;
}

} // namespace korvel::platform
