#include "platform/system/text_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace korvel::platform {

std::optional<std::string> readTextFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
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

std::optional<std::string> readFirstLine(const std::string& path) {
    auto text = readTextFile(path);
    if (!text) {
        return std::nullopt;
    }
    const auto end = text->find('\n');
    if (end != std::string::npos) {
        text->resize(end);
    }
    return text;
}

std::optional<unsigned long long> readUnsigned(const std::string& path) {
    const auto line = readFirstLine(path);
    return line ? wholeNumber<unsigned long long>(*line) : std::nullopt;
}

} // namespace korvel::platform
