#pragma once

#include <string>

namespace korvel::platform::desktop {

// Message catalogues (gettext): the English text is the key and what is shown
// when no catalogue translates it.

// Reads the domain's catalogues from localeDirectory (<dir>/<lang>/LC_MESSAGES/
// <domain>.mo) as UTF-8. Binding again takes effect for later lookups.
void bindTextDomain(const std::string& domain, const std::string& localeDirectory);

// The translation of key in the domain for the current locale, else key.
std::string translate(const char* domain, const char* key);

} // namespace korvel::platform::desktop
