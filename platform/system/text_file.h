#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace korvel::platform {

// Whole small kernel file (procfs and sysfs files report a size of 0, so this
// reads until end of file). No value when it cannot be opened or read.
std::optional<std::string> readTextFile(const std::string& path);

// First line of a sysfs attribute, without its newline.
std::optional<std::string> readFirstLine(const std::string& path);

// Writes all of data to fd, continuing short writes. False when a write fails.
bool writeAll(int fd, std::string_view data);

// A sysfs attribute holding one unsigned decimal number.
std::optional<unsigned long long> readUnsigned(const std::string& path);

// Whether the whole text is one integer (decimal unless base says otherwise),
// which out then holds. An empty text is none.
template <typename Integer> bool parseWhole(std::string_view text, Integer& out, int base = 10) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out, base);
    return ec == std::errc() && ptr == end;
}

// The number, integer or floating, that is all of text; none otherwise.
template <typename Number> std::optional<Number> wholeNumber(std::string_view text) {
    Number value{};
    if constexpr (std::is_floating_point_v<Number>) {
        const char* end = text.data() + text.size();
        const auto [ptr, ec] = std::from_chars(text.data(), end, value);
        return ec == std::errc() && ptr == end ? std::optional(value) : std::nullopt;
    } else {
        return parseWhole(text, value) ? std::optional(value) : std::nullopt;
    }
}

} // namespace korvel::platform
