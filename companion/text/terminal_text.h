#pragma once

#include <string>
#include <string_view>

namespace korvel {

// Text the machine chose (process, user, host and interface names, paths,
// units), made safe to write to a terminal: C0 controls but tab, DEL, C1
// controls and the bidirectional controls become visible escapes ("\x1b",
// "\u202e"), as do bytes that are not UTF-8 ("\xff"). A name can then
// neither drive the terminal nor pass for other text. Backslashes stay, so
// applying it twice changes nothing.
std::string terminalSafeText(std::string_view text);

} // namespace korvel
