#pragma once

#include <string>
#include <string_view>

namespace korvel::platform {

// Lower case for the ASCII letters only: the names compared this way (sysfs
// chip types, socket states, settings words) are ASCII, and the locale must
// not change them.
inline std::string asciiLowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

} // namespace korvel::platform
