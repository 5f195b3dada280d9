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
    // Additive row members: taken when well typed, otherwise ignored.
    template <typename T, typename Read>
    static std::optional<T> extra(const Json& o, const char* key, Read read) try {
        return o.contains(key) ? std::optional<T>(read(o.at(key))) : std::nullopt;
    } catch (const Reject&) {
        return std::nullopt;
    }

    static HelperConnectionData connection(const Json& o) {
        HelperConnectionData c{integer<int32_t>(at(o, "pid")),
                               text(at(o, "proto")),
                               text(at(o, "localAddr")),
                               integer<uint16_t>(at(o, "localPort")),
                               text(at(o, "remoteAddr")),
                               integer<uint16_t>(at(o, "remotePort")),
                               integer<int32_t>(at(o, "tcpStateRaw"))};
        c.bytesIn = extra<uint64_t>(o, "bytesIn", integer<uint64_t>);
        c.bytesOut = extra<uint64_t>(o, "bytesOut", integer<uint64_t>);
        c.cookie = extra<uint64_t>(o, "cookie", integer<uint64_t>);
        return c;
    }
    static std::vector<HelperConnectionData> connections(const Json& rows) {
        std::vector<HelperConnectionData> out;
        for (const Json& o : rows.is_array() ? rows : throw Reject{}) {
            out.push_back(connection(o));
        }
        return out;
    }

    static std::optional<HelperResponse> decode(const std::string& document) try {
        const Json json = Json::parse(document, nullptr, false);
        HelperResponse r;
        for (const Json& o : list(json, "processes")) {
            HelperProcessData& p = r.processes.emplace_back();
            p = {integer<int32_t>(at(o, "pid")), text(at(o, "name")), std::nullopt,
                 integer<uint64_t>(at(o, "cpuNS")), integer<uint64_t>(at(o, "memBytes"))};
            if (const Json* path = optional(o, "execPath")) {
                p.execPath = text(*path);
            }
            p.uid = extra<uint32_t>(o, "uid", integer<uint32_t>);
            p.unit = extra<std::string>(o, "unit", text);
            p.appId = extra<std::string>(o, "appId", text);
            p.container = extra<std::string>(o, "container", text);
            p.script = extra<std::string>(o, "script", text);
            p.startTime = extra<double>(o, "startTime", [](const Json& v) {
                return std::isfinite(number(v)) ? number(v) : throw Reject{};
            });
        }
        r.connections = connections(list(json, "connections"));
        r.endedConnections =
            extra<std::vector<HelperConnectionData>>(json, "endedConnections", connections)
                .value_or(std::vector<HelperConnectionData>{});
        r.unattributedTcpBytesIn =
            extra<uint64_t>(json, "unattributedTcpBytesIn", integer<uint64_t>);
        r.unattributedTcpBytesOut =
            extra<uint64_t>(json, "unattributedTcpBytesOut", integer<uint64_t>);
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

HelperResponse sampleResponse() {
    HelperResponse r;
    r.processes = {{42, "Safari", "/Applications/Safari.app/Contents/MacOS/Safari",
                    1234567890123ULL, 987654321ULL, 501, "app-x.scope", "org.x", "box", 8.1e8},
                   {7, "kworker", std::nullopt, 0, 0}};
    r.processes[0].script = "sink.py";
    r.connections = {{42, "TCP6", "::1", 443, "2001:db8::1", 65535, 4, 10, 18446744073709551615ULL,
                      18446744073709551614ULL},
                     {42, "UDP", "0.0.0.0", 53, "", 0, -1}};
    r.endedConnections = {{9, "TCP", "10.0.0.2", 1, "10.0.0.9", 2, 0, 5, 6, 7}};
    r.unattributedTcpBytesIn = 1;
    r.unattributedTcpBytesOut = 2;
    r.interfaces = {{"eth0", 1, 18446744073709551615ULL}};
    r.timestamp = 818281440.3007154;
    r.totalRam = 25276182528ULL;
    r.usedRam = 1;
    r.freeRam = 2;
    r.memPressureLevel = 98;
    return r;
}

TEST(HelperResponseTest, NonFiniteDoublesFailAndNamesThatAreNotUtf8AreRepaired) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        HelperResponse r = sampleResponse();
        r.timestamp = bad;
        EXPECT_FALSE(encodeHelperResponse(r));
        r = sampleResponse();
        r.cpuTemperatureCelsius = bad;
        EXPECT_FALSE(encodeHelperResponse(r));
    }
    HelperResponse r = sampleResponse();
    r.processes[0].name = "bad\xff\xfe name\xc3";
    r.processes[0].execPath = "/opt/\xed\xa0\x80x\"\n\x01";
    const auto text = encodeHelperResponse(r);
    ASSERT_TRUE(text);
    EXPECT_TRUE(Json::accept(*text)) << "nlohmann rejects invalid UTF-8";
    const auto decoded = decodeHelperResponse(*text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->processes[0].name, "bad\xEF\xBF\xBD\xEF\xBF\xBD name\xEF\xBF\xBD");
    EXPECT_EQ(*decoded->processes[0].execPath,
              "/opt/\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\"\n\x01");
}

TEST(HelperResponseTest, MembersMissingNullMistypedOrOutOfRangeReadAsTheReferenceReadsThem) {
    const Json valid = Json::parse(*encodeHelperResponse(sampleResponse()));
    const auto check = [](const Json& j, bool decodes) {
        EXPECT_EQ(decodeHelperResponse(j.dump()).has_value(), decodes) << j.dump();
        expectSameAsReference(j.dump());
    };
    check(valid, true);
    EXPECT_EQ(decodeHelperResponse(valid.dump()), sampleResponse()) << "every bit of the cookie";
    // A reply from a helper that knows none of the additive members.
    Json older = valid;
    for (const char* key : {"uid", "unit", "appId", "container", "script"}) {
        older["processes"][0].erase(key);
    }
    for (const char* key : {"bytesIn", "bytesOut", "cookie"}) {
        older["connections"][0].erase(key);
    }
    for (const char* key :
         {"endedConnections", "unattributedTcpBytesIn", "unattributedTcpBytesOut"}) {
        older.erase(key);
    }
    check(older, true);
    for (const char* key : {"/processes", "/connections", "/interfaces", "/timestamp", "/totalRam",
                            "/usedRam", "/freeRam", "/memPressureLevel", "/processes/0/cpuNS"}) {
        Json missing = valid;
        missing.at(Json::json_pointer(key).parent_pointer()).erase(Json::json_pointer(key).back());
        check(missing, false);
        Json null = valid;
        null[Json::json_pointer(key)] = nullptr;
        check(null, false);
    }
    // A member's pointer, then the JSON put in its place, and whether the
    // document still reads: optional members may be null, integers stand where
    // a double belongs, a mistyped additive member is dropped, not the document.
    const auto replaced = [&](const std::string& change) {
        Json j = valid;
        j[Json::json_pointer(change.substr(0, change.find(' ')))] =
            Json::parse(change.substr(change.find(' ') + 1));
        return j;
    };
    for (const char* change :
         {"/connections/0/localPort 65536", "/connections/0/remotePort -1", "/totalRam -1",
          "/processes/0/pid 2147483648", "/processes/0/pid \"42\"", "/interfaces/0/id 5",
          "/processes {}", "/timestamp \"now\"", "/connections/1/tcpStateRaw -2147483649",
          "/cpuTemperatureCelsius true"}) {
        check(replaced(change), false);
    }
    for (const char* change :
         {"/processes/1/execPath null", "/timestamp 5", "/connections/0/localPort 65535",
          "/processes/0/pid 2147483647", "/connections/1/tcpStateRaw -2147483648",
          "/gpuCoreCount -9223372036854775808", "/somethingNew {\"a\":[1]}", "/processes/0/uid -1",
          "/processes/0/uid 4294967296", "/processes/0/unit 5", "/processes/1/appId null",
          "/connections/0/bytesIn \"10\"", "/connections/1/bytesOut 1.5",
          "/processes/0/startTime \"x\"", "/connections/0/cookie \"1\"",
          "/connections/0/cookie 18446744073709551616", "/endedConnections 5",
          "/endedConnections/0/pid null", "/unattributedTcpBytesIn -1"}) {
        check(replaced(change), true);
    }
}

const std::string kSmall =
    R"({"processes":[{"pid":42,"name":"Safari \u00e9","execPath":"/Applications/S.app",)"
    R"("cpuNS":12,"memBytes":9,"uid":1000,"unit":"a.service"},)"
    R"({"pid":7,"name":"k","cpuNS":0,"memBytes":0}],)"
    R"("connections":[{"pid":42,"proto":"TCP6","localAddr":"::1","localPort":443,)"
    R"("remoteAddr":"2001:db8::1","remotePort":65535,"tcpStateRaw":-1,"bytesIn":70}],)"
    R"("interfaces":[{"id":"eth0","bytesIn":1,"bytesOut":18446744073709551615}],)"
    R"("timestamp":8.182814403007154e8,"totalRam":25276182528,"usedRam":1,"freeRam":2,)"
    R"("memPressureLevel":98,"gpuCoreCount":null,"gpuUsagePercent":12.5,"x":[{"y":[true]}]})";

TEST(HelperResponseTest, HandPickedTextReadsAsTheReferenceReadsIt) {
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
          R"({"pid":"a","pid":1,"name":"a","cpuNS":1,"memBytes":1})",
          R"({"pid":1,"name":"a","cpuNS":1,"memBytes":1,"unit":"a","unit":7})"}) {
        expectSameAsReference(doc(R"(,"processes":[)" + process + "]"));
    }
    // Nesting past 256 levels is refused, not recursed into, wherever it stands (a member
    // given again still counts last).
    for (const size_t levels : {256, 257, 100000}) {
        const auto nest = [&](size_t above) {
            return std::string(levels - above, '[') + std::string(levels - above, ']');
        };
        std::string nestedObjects;
        for (size_t i = 0; i < levels; ++i) {
            nestedObjects += "{\"a\":";
        }
        nestedObjects += "1" + std::string(levels, '}');
        for (const std::string key :
             {"z", "timestamp", "totalRam", "usedRam", "freeRam", "memPressureLevel",
              "gpuCoreCount", "gpuUsagePercent", "cpuTemperatureCelsius", "gpuTemperatureCelsius",
              "unattributedTcpBytesIn", "unattributedTcpBytesOut", "processes", "connections",
              "interfaces", "endedConnections"}) {
            const bool rows = key.ends_with('s') && !key.ends_with("Celsius"); // arrays of records
            const std::string members = ",\"" + key +
                                        "\":" + (rows ? "[" + nest(1) + "]" : nest(0)) + ",\"" +
                                        key + "\":" + (rows ? "[]" : "1");
            EXPECT_EQ(decodeHelperResponse(doc(members)).has_value(), levels == 256)
                << key << " " << levels;
            if (rows) { // a value that is no array at all is skipped to the same depth
                const std::string objects =
                    nestedObjects + ",\"" + key + "\":[]"; // given again, counts last
                EXPECT_EQ(decodeHelperResponse(doc(",\"" + key + "\":" + objects)).has_value(),
                          levels == 256)
                    << key << " objects " << levels;
            }
        }
    }
}

TEST(HelperResponseTest, MutatedDocumentsReadAsTheReferenceReadsThem) {
    std::mt19937 random(7);
    const std::string alphabet = "{}[],:\"\\-+.0123456789eEtrufalsn \n\xff\xc3\xa9u";
    for (int round = 0; round < 40000; ++round) {
        std::string text = kSmall;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
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

} // namespace
} // namespace korvel
