#include "companion/app/localization.h"

#include "platform/desktop/text_domain.h"

#include <filesystem>

namespace korvel {

void setUpLocalization(const std::string& program) {
    if (program.empty()) {
        return;
    }
    const auto locale = std::filesystem::path(program).parent_path().parent_path() / "share/locale";
    std::error_code error;
    if (std::filesystem::is_directory(locale, error)) {
        platform::desktop::bindTextDomain(kTextDomain, locale.string());
    }
}

std::string localized(const char* key) {
    return platform::desktop::translate(kTextDomain, key);
}

} // namespace korvel
