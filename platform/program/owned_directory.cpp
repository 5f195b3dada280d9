#include "platform/program/owned_directory.h"

#include "platform/system/text_file.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

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

// Opens the directory name below parent without following a link. A path
// handle needs no read permission, as a walk through /home/someone (0711) does not.
int openStep(int parent, const std::string& name, const std::string& shown, std::string& error) {
    const int fd = ::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ELOOP || errno == ENOTDIR ? shown + " is not a directory (a link?)"
                                                   : failure("cannot open " + shown);
    }
    return fd;
}

// Closes fd and gives -1 unless it is a directory of ours.
int keepIfOurs(int fd, const std::string& shown, std::string& error) {
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !ownedByUs(st))) {
        error = shown + " is not a directory of ours that only we may write to";
        ::close(fd);
        return -1;
    }
    return fd;
}

// Opens (or creates) one component below parent without following a link.
int openComponent(int parent, const std::string& name, const std::string& shown, bool create,
                  std::string& error) {
    if (name == "." || name == "..") {
        error = shown + " is not a plain directory name";
        return -1;
    }
    int fd = openStep(parent, name, shown, error);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
            error = failure("cannot create " + shown);
            return -1;
        }
        fd = openStep(parent, name, shown, error);
    }
    return keepIfOurs(fd, shown, error);
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

// Takes the first '/'-separated component off rest.
std::string takeComponent(std::string_view& rest) {
    const auto slash = rest.find('/');
    std::string name(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    return name;
}

// Makes a missing base and, where the nearest directory that exists is ours,
// its missing parents, each 0700 as the XDG base directory rules ask. Under
// a directory that is not ours (/tmp) only the last component is made.
void createMissingBase(const std::string& base) {
    std::string existing = base;
    while (existing.size() > 1 && existing.back() == '/') {
        existing.pop_back();
    }
    std::vector<std::string> missing;
    struct stat st {};
    while (::stat(existing.c_str(), &st) != 0 && errno == ENOENT) {
        const auto slash = existing.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            return;
        }
        missing.push_back(existing.substr(slash + 1));
        existing.resize(slash);
    }
    if (missing.empty() || !S_ISDIR(st.st_mode) || (missing.size() > 1 && !ownedByUs(st))) {
        return;
    }
    for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
        existing += "/" + *name;
        if (::mkdir(existing.c_str(), 0700) != 0 && errno != EEXIST) {
            return;
        }
    }
}

} // namespace

std::optional<OwnedDirectory> OwnedDirectory::open(const std::string& base,
                                                   std::string_view relative, bool followBase,
                                                   bool create, std::string& error) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followBase ? 0 : O_NOFOLLOW);
    int fd = ::open(base.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create && base.starts_with('/')) {
        createMissingBase(base);
        fd = ::open(base.c_str(), flags);
    }
    if (fd < 0) {
        error = failure("cannot open " + base);
        return std::nullopt;
    }
    fd = keepIfOurs(fd, base, error);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string shown = base;
    while (!relative.empty()) {
        const std::string name = takeComponent(relative);
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

std::optional<OwnedDirectory> OwnedDirectory::openPath(const std::string& path,
                                                       std::string& error) {
    if (path.empty()) {
        error = "no directory was given";
        return std::nullopt;
    }
    const bool absolute = path.front() == '/';
    int fd = ::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = failure(absolute ? "cannot open /" : "cannot open the working directory");
        return std::nullopt;
    }
    std::string shown = absolute ? "" : ".";
    std::string_view rest = path;
    while (fd >= 0 && !rest.empty()) {
        const std::string name = takeComponent(rest);
        if (name.empty() || name == ".") {
            continue;
        }
        shown += "/" + name;
        const int next = openStep(fd, name, shown, error);
        ::close(fd);
        fd = next;
    }
    fd = keepIfOurs(fd, path, error);
    return fd < 0 ? std::nullopt : std::optional(OwnedDirectory(fd));
}

OwnedDirectory::OwnedDirectory(OwnedDirectory&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

OwnedDirectory::~OwnedDirectory() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool OwnedDirectory::replaceFile(std::string_view name, std::string_view contents,
                                 std::string& error, unsigned mode) const {
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
    // The temporary's random name stays out of the message, so that the same
    // failure reads the same every time. The mode is set past the umask.
    const bool written = (mode == 0600 || ::fchmod(fd, mode) == 0) && writeAll(fd, contents);
    if (!written) {
        error = failure("cannot write a new " + target);
    }
    if (::close(fd) != 0 && written) {
        error = failure("cannot write a new " + target);
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

bool OwnedDirectory::removeFile(std::string_view name) const {
    return ::unlinkat(fd_, std::string(name).c_str(), 0) == 0;
}

bool OwnedDirectory::preparePrivateFile(std::string_view name, std::string& error) const {
    const std::string file(name);
    const int fd = ::openat(
        fd_, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno == ELOOP ? file + " is a link" : failure("cannot open " + file);
        return false;
    }
    struct stat st {};
    bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    if (!ours) {
        error = file + " is not a file of ours";
    } else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0) {
        error = failure("cannot make " + file + " private");
        ours = false;
    }
    ::close(fd);
    return ours;
}

OwnedDirectory::Entry OwnedDirectory::holds(std::string_view name) const {
    struct stat st {};
    if (::fstatat(fd_, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? Entry::missing : Entry::foreign;
    }
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() ? Entry::ours : Entry::foreign;
}

bool OwnedDirectory::moveAside(std::string_view name, std::string_view newName) const {
    return ::renameat2(fd_, std::string(name).c_str(), fd_, std::string(newName).c_str(),
                       RENAME_NOREPLACE) == 0;
}

bool OwnedDirectory::makePrivate() const {
    return ::fchmod(fd_, 0700) == 0;
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

std::optional<FileIdentity> fileIdentity(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileIdentity{st.st_dev, st.st_ino, static_cast<uint64_t>(st.st_size)};
}

Ownership directoryOwnership(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? Ownership::missing : Ownership::foreign;
    }
    return ownedByUs(st) ? Ownership::ours : Ownership::foreign;
}

} // namespace korvel::platform
