#include "shared/path_component.h"

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

} // namespace korvel
