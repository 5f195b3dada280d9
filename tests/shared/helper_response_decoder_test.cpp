#include "shared/helper_response.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

namespace korvel {
namespace {

using Json = nlohmann::json;

// The reading rules spelled out over a JSON tree: slow, obviously right, and
// the yardstick for the one-pass reader.
struct Reference {
    struct Reject {};

    static const Json& at(const Json& o, const char* key) {
        return o.contains(key) ? o.at(key) : throw Reject{};
    }
    static const Json* optional(const Json& o, const char* key) {
        return o.contains(key) && !o.at(key).is_null() ? &o.at(key) : nullptr;
    }
    static const Json& list(const Json& o, const char* key) {
        return at(o, key).is_array() ? at(o, key) : throw Reject{};
    }
    static std::string text(const Json& v) {
        return v.is_string() ? v.get<std::string>() : throw Reject{};
    }
    static double number(const Json& v) { return v.is_number() ? v.get<double>() : throw Reject{}; }
    template <typename I> static I integer(const Json& v) {
        using Limits = std::numeric_limits<I>;
        if (v.is_number_unsigned() && v.get<uint64_t>() <= uint64_t{Limits::max()}) {
            return static_cast<I>(v.get<uint64_t>());
        }
        // Parsed integers are signed only when negative.
        if (v.is_number_integer() && !v.is_number_unsigned() &&
            v.get<int64_t>() >= int64_t{Limits::min()}) {
            return static_cast<I>(v.get<int64_t>());
        }
        throw Reject{};
    }

    static std::optional<HelperResponse> decode(const std::string& document) try {
        const Json json = Json::parse(document, nullptr, false);
        HelperResponse r;
        for (const Json& o : list(json, "processes")) {
            r.processes.push_back({integer<int32_t>(at(o, "pid")), text(at(o, "name")),
                                   std::nullopt, integer<uint64_t>(at(o, "cpuNS")),
                                   integer<uint64_t>(at(o, "memBytes"))});
            if (const Json* path = optional(o, "execPath")) {
                r.processes.back().execPath = text(*path);
            }
        }
        for (const Json& o : list(json, "connections")) {
            r.connections.push_back(
                {integer<int32_t>(at(o, "pid")), text(at(o, "proto")), text(at(o, "localAddr")),
                 integer<uint16_t>(at(o, "localPort")), text(at(o, "remoteAddr")),
                 integer<uint16_t>(at(o, "remotePort")), integer<int32_t>(at(o, "tcpStateRaw"))});
        }
        for (const Json& o : list(json, "interfaces")) {
            r.interfaces.push_back({text(at(o, "id")), integer<uint64_t>(at(o, "bytesIn")),
                                    integer<uint64_t>(at(o, "bytesOut"))});
        }
        r.timestamp = number(at(json, "timestamp"));
        r.totalRam = integer<uint64_t>(at(json, "totalRam"));
        r.usedRam = integer<uint64_t>(at(json, "usedRam"));
        r.freeRam = integer<uint64_t>(at(json, "freeRam"));
        r.memPressureLevel = integer<int32_t>(at(json, "memPressureLevel"));
        if (const Json* v = optional(json, "gpuCoreCount")) {
            r.gpuCoreCount = integer<int64_t>(*v);
        }
        using Real = std::pair<const char*, std::optional<double>*>;
        for (auto [key, member] : {Real{"gpuUsagePercent", &r.gpuUsagePercent},
                                   Real{"cpuTemperatureCelsius", &r.cpuTemperatureCelsius},
                                   Real{"gpuTemperatureCelsius", &r.gpuTemperatureCelsius}}) {
            if (const Json* v = optional(json, key)) {
                *member = number(*v);
            }
        }
        // A number too large for a double is the one thing read differently:
        // the tree holds infinity, the reader refuses the document.
        for (double v :
             {r.timestamp, r.gpuUsagePercent.value_or(0), r.cpuTemperatureCelsius.value_or(0),
              r.gpuTemperatureCelsius.value_or(0)}) {
            if (!std::isfinite(v)) {
                return std::nullopt;
            }
        }
        return r;
    } catch (const Reject&) {
        return std::nullopt;
    }
};

void expectSameAsReference(const std::string& text) {
    const auto expected = Reference::decode(text);
    const auto actual = decodeHelperResponse(text);
    ASSERT_EQ(expected.has_value(), actual.has_value()) << text;
    if (expected) {
        ASSERT_EQ(*expected, *actual) << text;
    }
}

const std::string kSmall =
    R"({"processes":[{"pid":42,"name":"Safari \u00e9","execPath":"/Applications/S.app",)"
    R"("cpuNS":12,"memBytes":9},{"pid":7,"name":"k","cpuNS":0,"memBytes":0}],)"
    R"("connections":[{"pid":42,"proto":"TCP6","localAddr":"::1","localPort":443,)"
    R"("remoteAddr":"2001:db8::1","remotePort":65535,"tcpStateRaw":-1}],)"
    R"("interfaces":[{"id":"eth0","bytesIn":1,"bytesOut":18446744073709551615}],)"
    R"("timestamp":8.182814403007154e8,"totalRam":25276182528,"usedRam":1,"freeRam":2,)"
    R"("memPressureLevel":98,"gpuCoreCount":null,"gpuUsagePercent":12.5,"x":[{"y":[true]}]})";

TEST(HelperResponseDecoderTest, HandPickedCornersReadAsTheReferenceReadsThem) {
    const auto doc = [](const std::string& members) {
        return R"({"processes":[],"connections":[],"interfaces":[],"timestamp":1,"totalRam":1,)"
               R"("usedRam":1,"freeRam":1,"memPressureLevel":5)" +
               members + "}";
    };
    // Of a member given twice the last counts; an escaped key is the same key.
    for (const std::string& text :
         {kSmall, "\xEF\xBB\xBF" + kSmall, " \n\t\r" + kSmall + " \n", kSmall + "x", kSmall + "{}",
          std::string("[]"), std::string(), std::string("{}"), std::string("null"), doc(","),
          doc(R"(,"memPressureLevel":"x")"), doc(R"(,"memPr\u0065ssureLevel":"x")"),
          doc(R"(,"interfaces":[{"id":"a","bytesIn":1}])")}) {
        expectSameAsReference(text);
    }
    // Number forms where an int32, an int64 and a double belong.
    for (const std::string number :
         {"-0", "5.0", "5e0", "2147483648", "05", "+5", "1.", ".5", "-1.5E-3", "1e-400", "1e400",
          "9223372036854775808", "-9223372036854775809", "18446744073709551616", "null", "true"}) {
        for (const std::string key : {"memPressureLevel", "gpuCoreCount", "gpuUsagePercent"}) {
            expectSameAsReference(doc(",\"" + key + "\":" + number));
        }
    }
    // Values, both where a string belongs and where anything may stand.
    for (const std::string& value : std::initializer_list<std::string>{
             R"("\ud83d\ude00 \u0000 \/ \b\f\n\r\t")", R"("\ud83d")", R"("\ude00")", R"("\x")",
             "\"tab\there\"", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", "\"\xC3\"",
             "\"\xED\xA0\x80\"", // an encoded surrogate
             "\"\xC0\xAF\"",     // overlong
             std::string(200, '[') + std::string(200, ']'), "[1,2,", "nul", R"({"a" 1})"}) {
        expectSameAsReference(doc(R"(,"z":)" + value));
        expectSameAsReference(
            doc(R"(,"processes":[{"pid":1,"cpuNS":1,"memBytes":1,"name":)" + value + "}]"));
    }
    for (const std::string process :
         {R"(1)", R"({"pid":1,"name":"a","cpuNS":1,"memBytes":1,"execPath":7})",
          R"({"pid":1,"pid":"a","name":"a","cpuNS":1,"memBytes":1})",
          R"({"pid":"a","pid":1,"name":"a","cpuNS":1,"memBytes":1})"}) {
        expectSameAsReference(doc(R"(,"processes":[)" + process + "]"));
    }
    const std::string deep = doc(R"(,"z":)" + std::string(100000, '[') + std::string(100000, ']'));
    EXPECT_FALSE(decodeHelperResponse(deep)) << "nesting that deep is refused, not recursed into";
}

TEST(HelperResponseDecoderTest, MutatedDocumentsReadAsTheReferenceReadsThem) {
    std::mt19937 random(7);
    const std::string alphabet = "{}[],:\"\\-+.0123456789eEtrufalsn \n\xff\xc3\xa9u";
    for (int round = 0; round < 40000; ++round) {
        std::string text = kSmall;
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % text.size();
            switch (random() % 4) {
            case 0:
                text.erase(at, 1);
                break;
            case 1:
                text.insert(at, 1, alphabet[random() % alphabet.size()]);
                break;
            case 2:
                text[at] = alphabet[random() % alphabet.size()];
                break;
            default:
                text.insert(at, text.substr(random() % text.size(), random() % 20));
                break;
            }
        }
        expectSameAsReference(text);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

TEST(HelperResponseDecoderTest, LargeRepliesInAnyLayoutReadAsTheReferenceReadsThem) {
    std::mt19937 random(11);
    HelperResponse r;
    for (int i = 0; i < 300; ++i) {
        r.processes.push_back(
            {i + 1, "p\"\\\x01\xc3\xa9" + std::to_string(i),
             i % 3 ? std::optional<std::string>("/opt/" + std::to_string(i)) : std::nullopt,
             static_cast<uint64_t>(random()) << 20, random()});
        r.connections.push_back({i + 1, i % 2 ? "TCP6" : "UDP", "::ffff:127.0.0.1",
                                 static_cast<uint16_t>(random()), "10.0.0.1",
                                 static_cast<uint16_t>(random()), i % 2 ? 4 : -1});
    }
    r.interfaces = {{"lo", 1, 2}, {"wl\xc3\xa9", 3, 4}};
    r.timestamp = 818281440.25;
    r.gpuTemperatureCelsius = 41.0;
    const auto compact = encodeHelperResponse(r);
    ASSERT_TRUE(compact);
    EXPECT_EQ(decodeHelperResponse(*compact), r);
    const std::string pretty = Json::parse(*compact).dump(2);
    EXPECT_EQ(decodeHelperResponse(pretty), r);
    expectSameAsReference(pretty);
    // Escaped as ASCII throughout, members in the tree's order.
    const std::string ascii = Json::parse(*compact).dump(-1, ' ', true);
    EXPECT_EQ(decodeHelperResponse(ascii), r);
}

} // namespace
} // namespace korvel
