#include "helper/process_name.h"

namespace korvel {

std::string_view lastPathComponent(std::string_view path) {
    const size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos) {
        return path.empty() ? path : path.substr(0, 1);
    }
    const std::string_view trimmed = path.substr(0, end + 1);
    const size_t slash = trimmed.rfind('/');
    return slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string processDisplayName(std::string_view path) {
    const size_t marker = path.find(".app/Contents/");
    if (marker != std::string_view::npos) {
        const std::string_view bundle = path.substr(0, marker);
        const size_t slash = bundle.rfind('/');
        if (slash != std::string_view::npos) {
            return std::string(bundle.substr(slash + 1));
        }
    }
    return std::string(lastPathComponent(path));
}

} // namespace korvel
