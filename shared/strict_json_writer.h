#pragma once

// The replies' JSON written by hand, as the reader reads them.

#include "shared/utf8.h"

#include <charconv>
#include <cmath>
#include <string>
#include <string_view>

namespace korvel::strict_json {

// Written by hand rather than through a JSON tree: a busy machine's reply holds
// tens of thousands of rows, and building a DOM for them doubled the fetch time.
class Writer {
public:
    explicit Writer(size_t reserve) { out_.reserve(reserve); }

    void raw(std::string_view text) { out_.append(text); }

    void key(std::string_view name) {
        out_ += '"';
        out_.append(name);
        out_ += "\":";
    }

    void string(std::string_view value) {
        if (!isValidUtf8(value)) {
            escaped(sanitizeUtf8(value));
        } else {
            escaped(value);
        }
    }

    template <typename Integer> void integer(Integer value) {
        char buffer[24];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, end);
    }

    bool number(double value) {
        if (!std::isfinite(value)) {
            return false;
        }
        char buffer[32];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, end);
        return true;
    }

    std::string take() { return std::move(out_); }

private:
    void escaped(std::string_view value) {
        static constexpr char kHex[] = "0123456789abcdef";
        static constexpr std::string_view kEscaped = "\"\\\n\r\t\b\f";
        static constexpr std::string_view kEscapes = "\"\\nrtbf";
        out_ += '"';
        for (const char ch : value) {
            const auto c = static_cast<unsigned char>(ch);
            if (c >= 0x20 && ch != '"' && ch != '\\') {
                out_ += ch;
            } else if (const size_t at = kEscaped.find(ch); at != std::string_view::npos) {
                out_ += '\\';
                out_ += kEscapes[at];
            } else {
                out_ += "\\u00";
                out_ += kHex[c >> 4];
                out_ += kHex[c & 0xF];
            }
        }
        out_ += '"';
    }

    std::string out_;
};

} // namespace korvel::strict_json
