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
namespace reference {

struct Reject {};

const Json& required(const Json& o, const char* key) {
    const auto it = o.find(key);
    if (it == o.end()) {
        throw Reject{};
    }
    return *it;
}

const Json* optional(const Json& o, const char* key) {
    const auto it = o.find(key);
    return it == o.end() || it->is_null() ? nullptr : &*it;
}

template <typename Integer> Integer integer(const Json& v) {
    using Limits = std::numeric_limits<Integer>;
    if (v.is_number_unsigned()) {
        if (v.get<uint64_t>() > static_cast<uint64_t>(Limits::max())) {
            throw Reject{};
        }
        return static_cast<Integer>(v.get<uint64_t>());
    }
    if (!v.is_number_integer()) {
        throw Reject{};
    }
    const auto i = v.get<int64_t>();
    if (i < static_cast<int64_t>(Limits::min()) ||
        (i > 0 && static_cast<uint64_t>(i) > static_cast<uint64_t>(Limits::max()))) {
        throw Reject{};
    }
    return static_cast<Integer>(i);
}

double number(const Json& v) {
    if (!v.is_number()) {
        throw Reject{};
    }
    return v.get<double>();
}

std::string string(const Json& v) {
    if (!v.is_string()) {
        throw Reject{};
    }
    return v.get<std::string>();
}

const Json& object(const Json& v) {
    if (!v.is_object()) {
        throw Reject{};
    }
    return v;
}

std::optional<HelperResponse> decode(const std::string& text) {
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    try {
        HelperResponse r;
        const auto array = [&](const char* key) -> const Json& {
            const Json& a = required(json, key);
            if (!a.is_array()) {
                throw Reject{};
            }
            return a;
        };
        for (const Json& e : array("processes")) {
            const Json& o = object(e);
            HelperProcessData p{integer<int32_t>(required(o, "pid")), string(required(o, "name")),
                                std::nullopt, 0, 0};
            if (const Json* path = optional(o, "execPath")) {
                p.execPath = string(*path);
            }
            p.cpuNS = integer<uint64_t>(required(o, "cpuNS"));
            p.memBytes = integer<uint64_t>(required(o, "memBytes"));
            r.processes.push_back(p);
        }
        for (const Json& e : array("connections")) {
            const Json& o = object(e);
            r.connections.push_back(
                {integer<int32_t>(required(o, "pid")), string(required(o, "proto")),
                 string(required(o, "localAddr")), integer<uint16_t>(required(o, "localPort")),
                 string(required(o, "remoteAddr")), integer<uint16_t>(required(o, "remotePort")),
                 integer<int32_t>(required(o, "tcpStateRaw"))});
        }
        for (const Json& e : array("interfaces")) {
            const Json& o = object(e);
            r.interfaces.push_back({string(required(o, "id")),
                                    integer<uint64_t>(required(o, "bytesIn")),
                                    integer<uint64_t>(required(o, "bytesOut"))});
        }
        r.timestamp = number(required(json, "timestamp"));
        r.totalRam = integer<uint64_t>(required(json, "totalRam"));
        r.usedRam = integer<uint64_t>(required(json, "usedRam"));
        r.freeRam = integer<uint64_t>(required(json, "freeRam"));
        r.memPressureLevel = integer<int32_t>(required(json, "memPressureLevel"));
        if (const Json* v = optional(json, "gpuCoreCount")) {
            r.gpuCoreCount = integer<int64_t>(*v);
        }
        if (const Json* v = optional(json, "gpuUsagePercent")) {
            r.gpuUsagePercent = number(*v);
        }
        if (const Json* v = optional(json, "cpuTemperatureCelsius")) {
            r.cpuTemperatureCelsius = number(*v);
        }
        if (const Json* v = optional(json, "gpuTemperatureCelsius")) {
            r.gpuTemperatureCelsius = number(*v);
        }
        return r;
    } catch (const Reject&) {
        return std::nullopt;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

bool allFinite(const HelperResponse& r) {
    for (const auto& v : {std::optional<double>(r.timestamp), r.gpuUsagePercent,
                          r.cpuTemperatureCelsius, r.gpuTemperatureCelsius}) {
        if (v && !std::isfinite(*v)) {
            return false;
        }
    }
    return true;
}

} // namespace reference

// Same outcome as the reference; a number too large for a double is the one
// thing read differently: the tree holds infinity, we refuse the document.
void expectSameAsReference(const std::string& text) {
    const auto expected = reference::decode(text);
    const auto actual = decodeHelperResponse(text);
    if (expected && !reference::allFinite(*expected)) {
        EXPECT_FALSE(actual) << text;
        return;
    }
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
               R"("usedRam":1,"freeRam":1)" +
               members + "}";
    };
    const std::vector<std::string> cases = {
        kSmall,
        "\xEF\xBB\xBF" + kSmall,
        " \n\t\r" + kSmall + " \n",
        kSmall + "x",
        kSmall + "{}",
        doc(R"(,"memPressureLevel":5)"),
        doc(R"(,"memPressureLevel":5,"memPressureLevel":"x")"), // the last one counts
        doc(R"(,"memPressureLevel":"x","memPressureLevel":5)"),
        doc(R"(,"memPr\u0065ssureLevel":5)"), // an escaped key is the same key
        doc(R"(,"memPressureLevel":-0)"),
        doc(R"(,"memPressureLevel":5.0)"),
        doc(R"(,"memPressureLevel":5e0)"),
        doc(R"(,"memPressureLevel":2147483648)"),
        doc(R"(,"memPressureLevel":-2147483648)"),
        doc(R"(,"memPressureLevel":-2147483649)"),
        doc(R"(,"memPressureLevel":05)"),
        doc(R"(,"memPressureLevel":+5)"),
        doc(R"(,"memPressureLevel":5,)"),
        doc(R"(,"memPressureLevel":5,"gpuCoreCount":-9223372036854775808)"),
        doc(R"(,"memPressureLevel":5,"gpuCoreCount":9223372036854775808)"),
        doc(R"(,"memPressureLevel":5,"gpuCoreCount":-9223372036854775809)"),
        doc(R"(,"memPressureLevel":5,"gpuCoreCount":1,"gpuCoreCount":null)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":18446744073709551616)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":-1.5E-3)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":1e-400)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":1e400)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":1.)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":.5)"),
        doc(R"(,"memPressureLevel":5,"gpuUsagePercent":true)"),
        doc(R"(,"memPressureLevel":5,"z":"\ud83d\ude00 \u0000 \/ \b\f\n\r\t")"),
        doc(R"(,"memPressureLevel":5,"z":"\ud83d")"),
        doc(R"(,"memPressureLevel":5,"z":"\ude00")"),
        doc(R"(,"memPressureLevel":5,"z":"\x")"),
        doc(",\"memPressureLevel\":5,\"z\":\"tab\there\""),
        doc(",\"memPressureLevel\":5,\"z\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""),
        doc(",\"memPressureLevel\":5,\"z\":\"\xC3\""),
        doc(",\"memPressureLevel\":5,\"z\":\"\xED\xA0\x80\""), // an encoded surrogate
        doc(",\"memPressureLevel\":5,\"z\":\"\xC0\xAF\""),     // overlong
        doc(",\"memPressureLevel\":5,\"z\":" + std::string(200, '[') + std::string(200, ']')),
        doc(R"(,"memPressureLevel":5,"z":[1,2,)"),
        doc(R"(,"memPressureLevel":5,"z":nul)"),
        doc(R"(,"memPressureLevel":5,"z":{"a" 1})"),
        doc(R"(,"memPressureLevel":5,"processes":{})"),
        doc(R"(,"memPressureLevel":5,"processes":[1])"),
        doc(R"(,"memPressureLevel":5,"processes":[{"pid":1,"name":"a","cpuNS":1,"memBytes":1,"execPath":null}])"),
        doc(R"(,"memPressureLevel":5,"processes":[{"pid":1,"name":"a","cpuNS":1,"memBytes":1,"execPath":7}])"),
        doc(R"(,"memPressureLevel":5,"processes":[{"pid":1,"pid":"a","name":"a","cpuNS":1,"memBytes":1}])"),
        doc(R"(,"memPressureLevel":5,"processes":[{"pid":"a","pid":1,"name":"a","cpuNS":1,"memBytes":1}])"),
        doc(R"(,"memPressureLevel":5,"interfaces":[{"id":"a","bytesIn":1}])"),
        "[]",
        "",
        "{}",
        "null",
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        expectSameAsReference(text);
    }
    const std::string deep =
        doc(",\"memPressureLevel\":5,\"z\":" + std::string(100000, '[') + std::string(100000, ']'));
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
