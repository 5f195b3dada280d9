#include "platform/desktop/text_domain.h"

#include <glib.h>
#include <libintl.h>

namespace korvel::platform::desktop {

void bindTextDomain(const std::string& domain, const std::string& localeDirectory) {
    bindtextdomain(domain.c_str(), localeDirectory.c_str());
    bind_textdomain_codeset(domain.c_str(), "UTF-8");
}

std::string translate(const char* domain, const char* key) {
    return g_dgettext(domain, key);
}

} // namespace korvel::platform::desktop
