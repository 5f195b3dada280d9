#pragma once

// The reply reader's JSON layer, apart from the reply's member rules.

#include "shared/utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace korvel::strict_json {

// Read in one pass without building a JSON tree: a busy machine's reply holds
// tens of thousands of rows, and a tree for them cost more than collecting
// them in the helper. The grammar is strict RFC 8259 (UTF-8 validated, no
// trailing commas or garbage); for a member given twice the last one counts.

// Malformed JSON: the whole document is rejected.
struct SyntaxError {};

struct Number {
    enum class Kind { unsignedInteger, signedInteger, floating } kind = Kind::floating;
    uint64_t u = 0;
    int64_t i = 0;
    double d = 0;
    bool finite = true; // false when the text overflows a double
};

template <typename Integer> bool integerFrom(const Number& n, Integer& out) {
    using Limits = std::numeric_limits<Integer>;
    if (n.kind == Number::Kind::unsignedInteger) {
        if (n.u > static_cast<uint64_t>(Limits::max())) {
            return false;
        }
        out = static_cast<Integer>(n.u);
        return true;
    }
    if (n.kind == Number::Kind::signedInteger) {
        if constexpr (Limits::is_signed) {
            if (n.i < static_cast<int64_t>(Limits::min())) {
                return false;
            }
        } else if (n.i < 0) {
            return false;
        }
        if (n.i > 0 && static_cast<uint64_t>(n.i) > static_cast<uint64_t>(Limits::max())) {
            return false;
        }
        out = static_cast<Integer>(n.i);
        return true;
    }
    return false;
}

inline bool doubleFrom(const Number& n, double& out) {
    switch (n.kind) {
    case Number::Kind::unsignedInteger:
        out = static_cast<double>(n.u);
        return true;
    case Number::Kind::signedInteger:
        out = static_cast<double>(n.i);
        return true;
    case Number::Kind::floating:
        out = n.d;
        return n.finite;
    }
    return false;
}

class Reader {
public:
    explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {
        if (text.starts_with("\xEF\xBB\xBF")) {
            p_ += 3; // a byte-order mark is tolerated, as the JSON library did
        }
    }

    char peek() {
        if (finished()) {
            throw SyntaxError{};
        }
        return *p_;
    }

    bool finished() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
            ++p_;
        }
        return p_ == end_;
    }

    // Calls onMember(key) with the reader at each member's value, which the
    // callback must consume. The key is only valid until the value is read.
    template <typename OnMember> void object(OnMember&& onMember, int depth) {
        elements('}', depth, [&] {
            if (peek() != '"') {
                throw SyntaxError{};
            }
            const std::string_view name = key();
            if (peek() != ':') {
                throw SyntaxError{};
            }
            ++p_;
            onMember(name);
        });
    }

    template <typename OnElement> void array(OnElement&& onElement, int depth) {
        elements(']', depth, onElement);
    }

    // Each reads the next value; false (with the value consumed) when it is
    // of another type.
    bool string(std::string& out, int depth) {
        if (peek() != '"') {
            skip(depth);
            return false;
        }
        out.clear();
        readString(out);
        return true;
    }

    bool number(Number& out, int depth) {
        const char c = peek();
        if (c != '-' && (c < '0' || c > '9')) {
            skip(depth);
            return false;
        }
        readNumber(out);
        return true;
    }

    bool boolean(bool& out, int depth) {
        const char c = peek();
        if (c != 't' && c != 'f') {
            skip(depth);
            return false;
        }
        literal(c == 't' ? "true" : "false");
        out = c == 't';
        return true;
    }

    // Consumes a null literal; false (nothing consumed) for any other value.
    bool null() {
        if (peek() != 'n') {
            return false;
        }
        literal("null");
        return true;
    }

    void skip(int depth) {
        switch (peek()) {
        case '{':
            object([&](std::string_view) { skip(depth + 1); }, depth);
            break;
        case '[':
            array([&] { skip(depth + 1); }, depth);
            break;
        case '"':
            scratch_.clear();
            readString(scratch_);
            break;
        case 't':
            literal("true");
            break;
        case 'f':
            literal("false");
            break;
        case 'n':
            literal("null");
            break;
        default: {
            Number ignored;
            readNumber(ignored);
        }
        }
    }

private:
    // Nesting beyond any document we exchange is refused rather than recursed into.
    static void enter(int depth) {
        if (depth > 256) {
            throw SyntaxError{};
        }
    }

    // At an object's or array's opening bracket: calls each() for every
    // element, up to and past the closing bracket.
    template <typename Each> void elements(char close, int depth, Each&& each) {
        enter(depth);
        ++p_;
        if (peek() == close) {
            ++p_;
            return;
        }
        for (;;) {
            each();
            const char next = peek();
            ++p_;
            if (next == close) {
                return;
            }
            if (next != ',') {
                throw SyntaxError{};
            }
        }
    }

    void literal(std::string_view word) {
        if (static_cast<size_t>(end_ - p_) < word.size() ||
            std::memcmp(p_, word.data(), word.size()) != 0) {
            throw SyntaxError{};
        }
        p_ += word.size();
    }

    std::string_view key() {
        const char* start = p_ + 1;
        const char* q = start;
        while (q != end_ && *q != '"' && *q != '\\' && static_cast<unsigned char>(*q) >= 0x20 &&
               static_cast<unsigned char>(*q) < 0x80) {
            ++q;
        }
        if (q != end_ && *q == '"') {
            p_ = q + 1;
            return {start, static_cast<size_t>(q - start)};
        }
        keyBuffer_.clear();
        readString(keyBuffer_);
        return keyBuffer_;
    }

    void appendRaw(std::string& out, const char* from, const char* to, bool nonAscii) {
        if (nonAscii && !isValidUtf8({from, static_cast<size_t>(to - from)})) {
            throw SyntaxError{};
        }
        out.append(from, to);
    }

    uint32_t hex4() {
        if (end_ - p_ < 4) {
            throw SyntaxError{};
        }
        uint32_t value = 0;
        const auto [ptr, ec] = std::from_chars(p_, p_ + 4, value, 16);
        if (ec != std::errc() || ptr != p_ + 4) {
            throw SyntaxError{};
        }
        p_ += 4;
        return value;
    }

    // At the opening quote; appends the unescaped text to out.
    void readString(std::string& out) {
        ++p_;
        const char* start = p_;
        bool nonAscii = false;
        for (;;) {
            if (p_ == end_) {
                throw SyntaxError{};
            }
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                appendRaw(out, start, p_, nonAscii);
                ++p_;
                return;
            }
            if (c < 0x20) {
                throw SyntaxError{};
            }
            if (c >= 0x80) {
                nonAscii = true;
                ++p_;
                continue;
            }
            if (c != '\\') {
                ++p_;
                continue;
            }
            appendRaw(out, start, p_, nonAscii);
            nonAscii = false;
            if (++p_ == end_) {
                throw SyntaxError{};
            }
            static constexpr std::string_view kEscapes = "\"\\/bfnrt";
            static constexpr std::string_view kEscaped = "\"\\/\b\f\n\r\t";
            const char escape = *p_++;
            if (const size_t at = kEscapes.find(escape); at != std::string_view::npos) {
                out += kEscaped[at];
            } else if (escape == 'u') {
                uint32_t cp = hex4();
                if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    throw SyntaxError{}; // a low surrogate on its own
                }
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') {
                        throw SyntaxError{};
                    }
                    p_ += 2;
                    const uint32_t low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) {
                        throw SyntaxError{};
                    }
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, cp);
            } else {
                throw SyntaxError{};
            }
            start = p_;
        }
    }

    static bool isDigit(const char* p, const char* end) {
        return p != end && *p >= '0' && *p <= '9';
    }

    // [0-9]+
    void readDigits() {
        if (!isDigit(p_, end_)) {
            throw SyntaxError{};
        }
        while (isDigit(p_, end_)) {
            ++p_;
        }
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    void readNumber(Number& out) {
        const char* start = p_;
        const bool negative = *p_ == '-';
        if (negative) {
            ++p_;
        }
        if (!isDigit(p_, end_)) {
            throw SyntaxError{};
        }
        const char* digits = p_;
        if (*p_ == '0') {
            ++p_;
        } else {
            readDigits();
        }
        const char* digitsEnd = p_;
        bool integer = true;
        if (p_ != end_ && *p_ == '.') {
            integer = false;
            ++p_;
            readDigits();
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integer = false;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            readDigits();
        }
        if (integer) {
            uint64_t magnitude = 0;
            const auto [ptr, ec] = std::from_chars(digits, digitsEnd, magnitude);
            if (ec == std::errc() && ptr == digitsEnd) {
                if (!negative) {
                    out.kind = Number::Kind::unsignedInteger;
                    out.u = magnitude;
                    return;
                }
                if (magnitude <= uint64_t{1} << 63) {
                    out.kind = Number::Kind::signedInteger;
                    out.i = magnitude == uint64_t{1} << 63 ? std::numeric_limits<int64_t>::min()
                                                           : -static_cast<int64_t>(magnitude);
                    return;
                }
            }
            // Too wide for 64 bits: a double, as the JSON library reads it.
        }
        out.kind = Number::Kind::floating;
        const auto [ptr, ec] = std::from_chars(start, p_, out.d);
        if (ec == std::errc::result_out_of_range) {
            // Underflow reads as zero; overflow has no finite value.
            const char* exponent =
                std::find_if(digitsEnd, p_, [](char c) { return c == 'e' || c == 'E'; });
            const bool tiny = exponent != p_ ? exponent[1] == '-' : digits[0] == '0';
            out.d = negative ? -0.0 : 0.0;
            out.finite = tiny;
        } else if (ec != std::errc() || ptr != p_) {
            throw SyntaxError{};
        }
    }

    const char* p_;
    const char* end_;
    std::string keyBuffer_;
    std::string scratch_;
};

} // namespace korvel::strict_json
