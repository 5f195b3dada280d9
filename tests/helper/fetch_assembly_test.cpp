#include "helper/fetch_assembly.h"
#include "helper/helper_service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace korvel {
namespace {

template <typename T>
std::function<T()> logged(std::vector<std::string>& calls, const char* name, T value) {
    return [&calls, name, value] {
        calls.push_back(name);
        return value;
    };
}

// Collectors whose answers no two share.
FetchCollectors recording(std::vector<std::string>& calls) {
    return {logged(calls, "now", 8.0e8),
            [&](bool showSystem, std::vector<HelperConnectionData>& connections) {
                calls.push_back(showSystem ? "processes+system" : "processes");
                connections.push_back({7, "TCP", "10.0.0.1", 1, "10.0.0.2", 2, 4});
                return std::vector<HelperProcessData>{{7, "seven", std::nullopt, 3, 4}};
            },
            logged(calls, "interfaces", std::vector<HelperInterfaceData>{{"eth0", 5, 6}}),
            logged(calls, "memory", platform::MemoryFigures{100, 30, 60, 42}),
            logged(calls, "sensors", platform::sensors::SensorReading{51.0, 47.0, 12.5})};
}

TEST(FetchAssemblyTest, EachCollectorFillsItsOwnMembersInTheFixedOrder) {
    std::vector<std::string> calls;
    const HelperResponse r = assembleHelperResponse(true, recording(calls));
    EXPECT_EQ(calls, (std::vector<std::string>{"now", "processes+system", "interfaces", "memory",
                                               "sensors"}));
    const HelperResponse expected{.processes = {{7, "seven", std::nullopt, 3, 4}},
                                  .connections = {{7, "TCP", "10.0.0.1", 1, "10.0.0.2", 2, 4}},
                                  .interfaces = {{"eth0", 5, 6}},
                                  .timestamp = 8.0e8,
                                  .totalRam = 100,
                                  .usedRam = 30,
                                  .freeRam = 60,
                                  .memPressureLevel = 42,
                                  .gpuCoreCount = std::nullopt,
                                  .gpuUsagePercent = 12.5,
                                  .cpuTemperatureCelsius = 51.0,
                                  .gpuTemperatureCelsius = 47.0};
    EXPECT_EQ(r, expected);
}

TEST(FetchAssemblyTest, WhenEveryCollectorFailsTheReplyIsStillADocument) {
    const FetchCollectors failing{
        [] { return 8.0e8; }, [](bool, auto&) { return std::vector<HelperProcessData>{}; },
        [] { return std::vector<HelperInterfaceData>{}; }, [] { return platform::MemoryFigures{}; },
        [] { return platform::sensors::SensorReading{}; }};
    const auto text = encodeHelperResponse(assembleHelperResponse(false, failing));
    ASSERT_TRUE(text);
    EXPECT_EQ(nlohmann::json::parse(*text),
              nlohmann::json::parse(R"({"processes":[],"connections":[],"interfaces":[],)"
                                    R"("timestamp":8e8,"totalRam":0,"usedRam":0,"freeRam":0,)"
                                    R"("memPressureLevel":100})"));
}

// The live collectors' figures are checked end to end by the fetch command's tests.
TEST(FetchAssemblyTest, TheServiceAnswersOnlyTheFetchSelectorEachTimeWithALaterReading) {
    HelperService service;
    std::vector<std::optional<HelperResponse>> replies;
    for (const char* selector : {kFetchDataSelector, "unknownSelector:", kFetchDataSelector}) {
        service.handle({selector, true}, [&](const platform::service::Reply& reply) {
            replies.push_back(reply ? decodeHelperResponse(*reply) : std::nullopt);
        });
    }
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_TRUE(replies[0] && replies[1]);
    EXPECT_LT(replies[0]->timestamp, replies[1]->timestamp);
    EXPECT_GT(replies[0]->timestamp, 600000000.0) << "seconds since 2001, past 2020";
}

} // namespace
} // namespace korvel
