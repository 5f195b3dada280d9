#include "shared/helper_response.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>

namespace korvel {
namespace {

HelperResponse sampleResponse() {
    HelperResponse r;
    r.processes = {{42, "Safari", "/Applications/Safari.app/Contents/MacOS/Safari",
                    1234567890123ULL, 987654321ULL},
                   {7, "kworker", std::nullopt, 0, 0}};
    r.connections = {{42, "TCP6", "::1", 443, "2001:db8::1", 65535, 4},
                     {42, "UDP", "0.0.0.0", 53, "", 0, -1}};
    r.interfaces = {{"eth0", 1, 18446744073709551615ULL}};
    r.timestamp = 818281440.3007154;
    r.totalRam = 25276182528ULL;
    r.usedRam = 1;
    r.freeRam = 2;
    r.memPressureLevel = 98;
    return r;
}

nlohmann::json parse(const std::string& text) {
    return nlohmann::json::parse(text);
}

TEST(HelperResponseTest, RoundTripsEveryMemberAndOmitsAbsentOnes) {
    HelperResponse r = sampleResponse();
    const auto text = encodeHelperResponse(r);
    ASSERT_TRUE(text);
    const auto json = parse(*text);
    // Eight members when no optional reading exists, and never a null.
    EXPECT_EQ(json.size(), 8u);
    EXPECT_FALSE(json["processes"][1].contains("execPath"));
    EXPECT_EQ(text->find("null"), std::string::npos);
    EXPECT_EQ(decodeHelperResponse(*text), r);

    r.gpuCoreCount = -3;
    r.gpuUsagePercent = 12.5;
    r.cpuTemperatureCelsius = 55.0;
    r.gpuTemperatureCelsius = 1e-7;
    const auto full = encodeHelperResponse(r);
    ASSERT_TRUE(full);
    EXPECT_EQ(parse(*full).size(), 12u);
    EXPECT_EQ(decodeHelperResponse(*full), r);
}

TEST(HelperResponseTest, NonFiniteDoublesCannotBeEncoded) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        HelperResponse r = sampleResponse();
        r.timestamp = bad;
        EXPECT_FALSE(encodeHelperResponse(r));
        r = sampleResponse();
        r.gpuUsagePercent = bad;
        EXPECT_FALSE(encodeHelperResponse(r));
        r = sampleResponse();
        r.cpuTemperatureCelsius = bad;
        EXPECT_FALSE(encodeHelperResponse(r));
    }
}

TEST(HelperResponseTest, NamesThatAreNotUtf8StillMakeValidJson) {
    HelperResponse r = sampleResponse();
    r.processes[0].name = "bad\xff\xfe name\xc3";
    r.processes[0].execPath = "/opt/\xed\xa0\x80x\"\n\x01";
    const auto text = encodeHelperResponse(r);
    ASSERT_TRUE(text);
    const auto decoded = decodeHelperResponse(*text); // nlohmann rejects invalid UTF-8
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->processes[0].name, "bad\xEF\xBF\xBD\xEF\xBF\xBD name\xEF\xBF\xBD");
    EXPECT_EQ(*decoded->processes[0].execPath,
              "/opt/\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\"\n\x01");
}

class HelperResponseRejectTest : public ::testing::Test {
protected:
    nlohmann::json valid = parse(*encodeHelperResponse(sampleResponse()));

    bool decodes(const nlohmann::json& document) {
        return decodeHelperResponse(document.dump()).has_value();
    }
};

TEST_F(HelperResponseRejectTest, RequiredMembersMustBePresentTypedAndInRange) {
    ASSERT_TRUE(decodes(valid));
    for (const char* key : {"processes", "connections", "interfaces", "timestamp", "totalRam",
                            "usedRam", "freeRam", "memPressureLevel"}) {
        auto missing = valid;
        missing.erase(key);
        EXPECT_FALSE(decodes(missing)) << key;
        auto null = valid;
        null[key] = nullptr;
        EXPECT_FALSE(decodes(null)) << key;
    }
    auto j = valid;
    j["connections"][0]["localPort"] = 65536;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["connections"][0]["remotePort"] = -1;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["totalRam"] = -1;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["processes"][0]["pid"] = 2147483648LL;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["processes"][0]["pid"] = "42";
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["memPressureLevel"] = 1.5;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["connections"][1]["tcpStateRaw"] = -2147483649LL;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["processes"][0].erase("cpuNS");
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["interfaces"][0]["id"] = 5;
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["processes"] = nlohmann::json::object();
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["timestamp"] = "now";
    EXPECT_FALSE(decodes(j));
    EXPECT_FALSE(decodeHelperResponse("[]"));
    EXPECT_FALSE(decodeHelperResponse(""));
    EXPECT_FALSE(decodeHelperResponse("{\"processes\":[]"));
}

TEST_F(HelperResponseRejectTest, OptionalMembersMayBeNullAndUnknownMembersAreIgnored) {
    auto j = valid;
    j["gpuCoreCount"] = nullptr;
    j["gpuUsagePercent"] = nullptr;
    j["processes"][1]["execPath"] = nullptr;
    j["somethingNew"] = {{"nested", true}};
    j["processes"][0]["futureField"] = 3;
    const auto decoded = decodeHelperResponse(j.dump());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, sampleResponse());

    // Present optional members still have to carry the right type.
    j = valid;
    j["gpuCoreCount"] = "10";
    EXPECT_FALSE(decodes(j));
    j = valid;
    j["cpuTemperatureCelsius"] = true;
    EXPECT_FALSE(decodes(j));
    // Integers are acceptable where a double belongs.
    j = valid;
    j["timestamp"] = 5;
    j["gpuUsagePercent"] = 40;
    ASSERT_TRUE(decodes(j));
    EXPECT_EQ(*decodeHelperResponse(j.dump())->gpuUsagePercent, 40.0);
}

TEST_F(HelperResponseRejectTest, WidthLimitsAcceptTheirExtremes) {
    auto j = valid;
    j["connections"][0]["localPort"] = 65535;
    j["processes"][0]["pid"] = 2147483647;
    j["connections"][1]["tcpStateRaw"] = -2147483648LL;
    j["totalRam"] = 18446744073709551615ULL;
    j["gpuCoreCount"] = -9223372036854775807LL - 1;
    const auto decoded = decodeHelperResponse(j.dump());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->totalRam, 18446744073709551615ULL);
    EXPECT_EQ(decoded->processes[0].pid, 2147483647);
    EXPECT_EQ(decoded->connections[1].tcpStateRaw, -2147483647 - 1);
}

} // namespace
} // namespace korvel
