#include "platform/system/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <unistd.h>

namespace korvel::platform {
namespace {

std::string failure(const char* what, const std::string& path, int code) {
    return std::string(what) + " " + path + ": " + std::strerror(code);
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A fresh name next to the target; O_EXCL at open settles any collision.
std::string temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    const auto slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return directory + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + "-" + std::to_string(random() & 0xFFFFFF);
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
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

bool writeFileAtomically(const std::string& path, std::string_view contents, std::string& error,
                         unsigned permissions) {
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporaryName(path);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    static_cast<mode_t>(permissions));
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        error = failure("could not create a file in", directoryOf(path), errno);
        return false;
    }

    const auto abandon = [&](const char* what, int code) {
        ::close(fd);
        ::unlink(temporary.c_str());
        error = failure(what, path, code);
        return false;
    };
    if (!writeAll(fd, contents)) {
        return abandon("could not write", errno);
    }
    // Without the flush a crash soon after the rename can leave an empty file
    // under the new name on some file systems.
    if (::fsync(fd) != 0) {
        return abandon("could not write", errno);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        error = failure("could not write", path, code);
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        error = failure("could not replace", path, code);
        return false;
    }
    // Makes the rename itself durable; a failure here no longer matters to readers.
    if (const int directory = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return true;
}

} // namespace korvel::platform
