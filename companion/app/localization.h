#pragma once

#include <string>

namespace korvel {

// The companion's message catalogue domain.
inline constexpr const char* kTextDomain = "korvel-companion";

// Reads translations from <program dir>/../share/locale, program being the
// public korvel-companion, when that directory exists (an installed or staged
// tree), else from the system's default place. Call once, after the process
// locale is set.
void setUpLocalization(const std::string& program);

// The text for a localisation key in the current locale. The key is the
// English text and the fallback.
std::string localized(const char* key);

// Marks a key for the catalogue where it is looked up later.
constexpr const char* translatable(const char* key) {
    return key;
}

} // namespace korvel
