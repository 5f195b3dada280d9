#include "shared/helper_response.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>

namespace korvel {
namespace {

using Json = nlohmann::json;

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

TEST(HelperResponseTest, RoundTripsEveryMemberAndOmitsAbsentOnes) {
    HelperResponse r = sampleResponse();
    const auto text = encodeHelperResponse(r);
    ASSERT_TRUE(text);
    // Eight members when no optional reading exists, and never a null.
    EXPECT_EQ(Json::parse(*text).size(), 8u);
    EXPECT_EQ(text->find("null"), std::string::npos);
    EXPECT_EQ(decodeHelperResponse(*text), r);

    r.gpuCoreCount = -3;
    r.gpuUsagePercent = 12.5;
    r.cpuTemperatureCelsius = 55.0;
    r.gpuTemperatureCelsius = 1e-7;
    const auto full = encodeHelperResponse(r);
    ASSERT_TRUE(full);
    EXPECT_EQ(Json::parse(*full).size(), 12u);
    EXPECT_EQ(decodeHelperResponse(*full), r);
}

TEST(HelperResponseTest, NonFiniteDoublesCannotBeEncoded) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        HelperResponse r = sampleResponse();
        r.timestamp = bad;
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
    const auto decoded = decodeHelperResponse(*text);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(Json::accept(*text)) << "nlohmann rejects invalid UTF-8";
    EXPECT_EQ(decoded->processes[0].name, "bad\xEF\xBF\xBD\xEF\xBF\xBD name\xEF\xBF\xBD");
    EXPECT_EQ(*decoded->processes[0].execPath,
              "/opt/\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx\"\n\x01");
}

TEST(HelperResponseTest, RequiredMembersMustBePresentTypedAndInRange) {
    const Json valid = Json::parse(*encodeHelperResponse(sampleResponse()));
    const auto decodes = [](const Json& j) { return decodeHelperResponse(j.dump()).has_value(); };
    ASSERT_TRUE(decodes(valid));
    for (const char* key : {"/processes", "/connections", "/interfaces", "/timestamp", "/totalRam",
                            "/usedRam", "/freeRam", "/memPressureLevel", "/processes/0/cpuNS"}) {
        Json missing = valid;
        missing.at(Json::json_pointer(key).parent_pointer()).erase(Json::json_pointer(key).back());
        EXPECT_FALSE(decodes(missing)) << key;
        Json null = valid;
        null[Json::json_pointer(key)] = nullptr;
        EXPECT_FALSE(decodes(null)) << key;
    }
    const std::pair<const char*, Json> wrong[] = {{"/connections/0/localPort", 65536},
                                                  {"/connections/0/remotePort", -1},
                                                  {"/totalRam", -1},
                                                  {"/processes/0/pid", 2147483648LL},
                                                  {"/processes/0/pid", "42"},
                                                  {"/memPressureLevel", 1.5},
                                                  {"/interfaces/0/id", 5},
                                                  {"/processes", Json::object()},
                                                  {"/timestamp", "now"},
                                                  {"/connections/1/tcpStateRaw", -2147483649LL},
                                                  {"/gpuCoreCount", "10"},
                                                  {"/cpuTemperatureCelsius", true}};
    for (const auto& [pointer, value] : wrong) {
        Json j = valid;
        j[Json::json_pointer(pointer)] = value;
        EXPECT_FALSE(decodes(j)) << pointer << " = " << value;
    }
}

TEST(HelperResponseTest, OptionalNullsUnknownMembersAndWidthExtremesAreAccepted) {
    Json j = Json::parse(*encodeHelperResponse(sampleResponse()));
    j["gpuCoreCount"] = nullptr;
    j["processes"][1]["execPath"] = nullptr;
    j["somethingNew"] = {{"nested", true}};
    j["processes"][0]["futureField"] = 3;
    EXPECT_EQ(decodeHelperResponse(j.dump()), sampleResponse());

    j["timestamp"] = 5; // integers are acceptable where a double belongs
    j["gpuUsagePercent"] = 40;
    j["connections"][0]["localPort"] = 65535;
    j["processes"][0]["pid"] = 2147483647;
    j["connections"][1]["tcpStateRaw"] = -2147483648LL;
    j["gpuCoreCount"] = -9223372036854775807LL - 1;
    j["processes"][0]["uid"] = 4294967295U;
    j["processes"][0]["unit"] = "sshd.service";
    j["processes"][0]["appId"] = 7; // mistyped ownership members are ignored
    const auto decoded = decodeHelperResponse(j.dump());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->processes[0].uid, 4294967295U);
    EXPECT_EQ(decoded->processes[0].unit, "sshd.service");
    EXPECT_FALSE(decoded->processes[0].appId);
    EXPECT_EQ(decoded->gpuUsagePercent, 40.0);
    EXPECT_EQ(decoded->connections[0].localPort, 65535);
    EXPECT_EQ(decoded->processes[0].pid, 2147483647);
    EXPECT_EQ(decoded->connections[1].tcpStateRaw, -2147483647 - 1);
    EXPECT_EQ(decoded->gpuCoreCount, INT64_MIN);
    EXPECT_EQ(decoded->interfaces[0].bytesOut, 18446744073709551615ULL);
}

} // namespace
} // namespace korvel
