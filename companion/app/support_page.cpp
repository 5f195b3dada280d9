#include "companion/app/support_page.h"

#include <gio/gio.h>

namespace korvel {

void openSupportPage() {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(kSupportPageAddress, nullptr, &error)) {
        g_clear_error(&error);
    }
}

} // namespace korvel
