#pragma once

namespace korvel {

// The support web page. A placeholder on a reserved domain until the product
// has a page of its own.
inline constexpr const char* kSupportPageAddress = "https://korvel.example/companion";

// Opens the support page in the user's default browser. Whether that worked
// is not reported: nothing is shown or logged.
void openSupportPage();

} // namespace korvel
