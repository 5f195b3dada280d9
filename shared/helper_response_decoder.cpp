#include "shared/helper_response.h"
#include "shared/utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace korvel {
namespace {

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

bool doubleFrom(const Number& n, double& out) {
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

void appendCodePoint(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Reader {
public:
    explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {
        if (text.starts_with("\xEF\xBB\xBF")) {
            p_ += 3; // a byte-order mark is tolerated, as the JSON library did
        }
    }

    char peek() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
            ++p_;
        }
        if (p_ == end_) {
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
        enter(depth);
        ++p_; // '{'
        if (peek() == '}') {
            ++p_;
            return;
        }
        for (;;) {
            if (peek() != '"') {
                throw SyntaxError{};
            }
            const std::string_view name = key();
            if (peek() != ':') {
                throw SyntaxError{};
            }
            ++p_;
            onMember(name);
            const char next = peek();
            ++p_;
            if (next == '}') {
                return;
            }
            if (next != ',') {
                throw SyntaxError{};
            }
        }
    }

    template <typename OnElement> void array(OnElement&& onElement, int depth) {
        enter(depth);
        ++p_; // '['
        if (peek() == ']') {
            ++p_;
            return;
        }
        for (;;) {
            onElement();
            const char next = peek();
            ++p_;
            if (next == ']') {
                return;
            }
            if (next != ',') {
                throw SyntaxError{};
            }
        }
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
            switch (*p_++) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
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
                appendCodePoint(out, cp);
                break;
            }
            default:
                throw SyntaxError{};
            }
            start = p_;
        }
    }

    static bool isDigit(const char* p, const char* end) {
        return p != end && *p >= '0' && *p <= '9';
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
            while (isDigit(p_, end_)) {
                ++p_;
            }
        }
        const char* digitsEnd = p_;
        bool integer = true;
        if (p_ != end_ && *p_ == '.') {
            integer = false;
            ++p_;
            if (!isDigit(p_, end_)) {
                throw SyntaxError{};
            }
            while (isDigit(p_, end_)) {
                ++p_;
            }
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integer = false;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) {
                ++p_;
            }
            if (!isDigit(p_, end_)) {
                throw SyntaxError{};
            }
            while (isDigit(p_, end_)) {
                ++p_;
            }
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

// Presence and validity of one member, as its last occurrence left them.
template <typename T> struct Member {
    bool present = false;
    bool valid = false;
    T value{};

    template <typename Read> void read(Read&& read) {
        present = true;
        valid = read(value);
    }
    bool ok() const { return present && valid; }
};

// An optional member: absent and null both mean no value.
template <typename T> struct OptionalMember {
    bool valid = true;
    std::optional<T> value;

    template <typename Read> void read(Reader& r, Read&& read) {
        if (r.null()) {
            valid = true;
            value.reset();
            return;
        }
        T v{};
        valid = read(v);
        value = v;
    }
};

// An additive member: taken when well typed, otherwise read past as unknown.
template <typename T> struct ExtraMember {
    std::optional<T> value;

    template <typename Read> void read(Reader& r, Read&& read) {
        value.reset();
        T v{};
        if (!r.null() && read(v)) {
            value = std::move(v);
        }
    }
};

constexpr int kRecordDepth = 3;

auto integerReader(Reader& r, int depth) {
    return [&r, depth](auto& out) {
        Number n;
        return r.number(n, depth) && integerFrom(n, out);
    };
}

auto doubleReader(Reader& r, int depth) {
    return [&r, depth](double& out) {
        Number n;
        return r.number(n, depth) && doubleFrom(n, out);
    };
}

auto stringReader(Reader& r, int depth) {
    return [&r, depth](std::string& out) { return r.string(out, depth); };
}

bool decodeProcess(Reader& r, HelperProcessData& p) {
    Member<int32_t> pid;
    Member<std::string> name;
    OptionalMember<std::string> execPath;
    Member<uint64_t> cpuNS, memBytes;
    ExtraMember<uint32_t> uid;
    ExtraMember<std::string> unit, appId, container;
    r.object(
        [&](std::string_view key) {
            if (key == "pid") {
                pid.read(integerReader(r, kRecordDepth));
            } else if (key == "name") {
                name.read(stringReader(r, kRecordDepth));
            } else if (key == "execPath") {
                execPath.read(r, stringReader(r, kRecordDepth));
            } else if (key == "cpuNS") {
                cpuNS.read(integerReader(r, kRecordDepth));
            } else if (key == "memBytes") {
                memBytes.read(integerReader(r, kRecordDepth));
            } else if (key == "uid") {
                uid.read(r, integerReader(r, kRecordDepth));
            } else if (key == "unit") {
                unit.read(r, stringReader(r, kRecordDepth));
            } else if (key == "appId") {
                appId.read(r, stringReader(r, kRecordDepth));
            } else if (key == "container") {
                container.read(r, stringReader(r, kRecordDepth));
            } else {
                r.skip(kRecordDepth);
            }
        },
        kRecordDepth - 1);
    if (!pid.ok() || !name.ok() || !execPath.valid || !cpuNS.ok() || !memBytes.ok()) {
        return false;
    }
    p = {pid.value,
         std::move(name.value),
         std::move(execPath.value),
         cpuNS.value,
         memBytes.value,
         uid.value,
         std::move(unit.value),
         std::move(appId.value),
         std::move(container.value)};
    return true;
}

bool decodeConnection(Reader& r, HelperConnectionData& c) {
    Member<int32_t> pid, tcpStateRaw;
    Member<std::string> proto, localAddr, remoteAddr;
    Member<uint16_t> localPort, remotePort;
    ExtraMember<uint64_t> bytesIn, bytesOut;
    r.object(
        [&](std::string_view key) {
            if (key == "pid") {
                pid.read(integerReader(r, kRecordDepth));
            } else if (key == "proto") {
                proto.read(stringReader(r, kRecordDepth));
            } else if (key == "localAddr") {
                localAddr.read(stringReader(r, kRecordDepth));
            } else if (key == "localPort") {
                localPort.read(integerReader(r, kRecordDepth));
            } else if (key == "remoteAddr") {
                remoteAddr.read(stringReader(r, kRecordDepth));
            } else if (key == "remotePort") {
                remotePort.read(integerReader(r, kRecordDepth));
            } else if (key == "tcpStateRaw") {
                tcpStateRaw.read(integerReader(r, kRecordDepth));
            } else if (key == "bytesIn") {
                bytesIn.read(r, integerReader(r, kRecordDepth));
            } else if (key == "bytesOut") {
                bytesOut.read(r, integerReader(r, kRecordDepth));
            } else {
                r.skip(kRecordDepth);
            }
        },
        kRecordDepth - 1);
    if (!pid.ok() || !proto.ok() || !localAddr.ok() || !localPort.ok() || !remoteAddr.ok() ||
        !remotePort.ok() || !tcpStateRaw.ok()) {
        return false;
    }
    c = {pid.value,
         std::move(proto.value),
         std::move(localAddr.value),
         localPort.value,
         std::move(remoteAddr.value),
         remotePort.value,
         tcpStateRaw.value,
         bytesIn.value,
         bytesOut.value};
    return true;
}

bool decodeInterface(Reader& r, HelperInterfaceData& i) {
    Member<std::string> id;
    Member<uint64_t> bytesIn, bytesOut;
    r.object(
        [&](std::string_view key) {
            if (key == "id") {
                id.read(stringReader(r, kRecordDepth));
            } else if (key == "bytesIn") {
                bytesIn.read(integerReader(r, kRecordDepth));
            } else if (key == "bytesOut") {
                bytesOut.read(integerReader(r, kRecordDepth));
            } else {
                r.skip(kRecordDepth);
            }
        },
        kRecordDepth - 1);
    if (!id.ok() || !bytesIn.ok() || !bytesOut.ok()) {
        return false;
    }
    i = {std::move(id.value), bytesIn.value, bytesOut.value};
    return true;
}

// An array of records; false (everything still read) when it is not an array
// or any element is not a valid record.
template <typename Row, typename Decode> auto arrayReader(Reader& r, Decode decode) {
    return [&r, decode](std::vector<Row>& rows) {
        rows.clear();
        if (r.peek() != '[') {
            r.skip(1);
            return false;
        }
        bool valid = true;
        r.array(
            [&] {
                if (!valid || r.peek() != '{') {
                    r.skip(kRecordDepth - 1);
                    valid = false;
                    return;
                }
                Row row;
                if (decode(r, row)) {
                    rows.push_back(std::move(row));
                } else {
                    valid = false;
                }
            },
            1);
        return valid;
    };
}

} // namespace

std::optional<HelperResponse> decodeHelperResponse(std::string_view text) {
    try {
        Reader r(text);
        if (r.peek() != '{') {
            return std::nullopt;
        }
        Member<std::vector<HelperProcessData>> processes;
        Member<std::vector<HelperConnectionData>> connections;
        Member<std::vector<HelperInterfaceData>> interfaces;
        Member<double> timestamp;
        Member<uint64_t> totalRam, usedRam, freeRam;
        Member<int32_t> memPressureLevel;
        OptionalMember<int64_t> gpuCoreCount;
        OptionalMember<double> gpuUsagePercent, cpuTemperatureCelsius, gpuTemperatureCelsius;
        r.object(
            [&](std::string_view key) {
                if (key == "connections") {
                    connections.read(arrayReader<HelperConnectionData>(r, decodeConnection));
                } else if (key == "processes") {
                    processes.read(arrayReader<HelperProcessData>(r, decodeProcess));
                } else if (key == "interfaces") {
                    interfaces.read(arrayReader<HelperInterfaceData>(r, decodeInterface));
                } else if (key == "timestamp") {
                    timestamp.read(doubleReader(r, 1));
                } else if (key == "totalRam") {
                    totalRam.read(integerReader(r, 1));
                } else if (key == "usedRam") {
                    usedRam.read(integerReader(r, 1));
                } else if (key == "freeRam") {
                    freeRam.read(integerReader(r, 1));
                } else if (key == "memPressureLevel") {
                    memPressureLevel.read(integerReader(r, 1));
                } else if (key == "gpuCoreCount") {
                    gpuCoreCount.read(r, integerReader(r, 1));
                } else if (key == "gpuUsagePercent") {
                    gpuUsagePercent.read(r, doubleReader(r, 1));
                } else if (key == "cpuTemperatureCelsius") {
                    cpuTemperatureCelsius.read(r, doubleReader(r, 1));
                } else if (key == "gpuTemperatureCelsius") {
                    gpuTemperatureCelsius.read(r, doubleReader(r, 1));
                } else {
                    r.skip(1);
                }
            },
            0);
        if (!r.finished()) {
            return std::nullopt;
        }
        if (!processes.ok() || !connections.ok() || !interfaces.ok() || !timestamp.ok() ||
            !totalRam.ok() || !usedRam.ok() || !freeRam.ok() || !memPressureLevel.ok() ||
            !gpuCoreCount.valid || !gpuUsagePercent.valid || !cpuTemperatureCelsius.valid ||
            !gpuTemperatureCelsius.valid) {
            return std::nullopt;
        }
        HelperResponse response;
        response.processes = std::move(processes.value);
        response.connections = std::move(connections.value);
        response.interfaces = std::move(interfaces.value);
        response.timestamp = timestamp.value;
        response.totalRam = totalRam.value;
        response.usedRam = usedRam.value;
        response.freeRam = freeRam.value;
        response.memPressureLevel = memPressureLevel.value;
        response.gpuCoreCount = gpuCoreCount.value;
        response.gpuUsagePercent = gpuUsagePercent.value;
        response.cpuTemperatureCelsius = cpuTemperatureCelsius.value;
        response.gpuTemperatureCelsius = gpuTemperatureCelsius.value;
        return response;
    } catch (const SyntaxError&) {
        return std::nullopt;
    }
}

} // namespace korvel
