#include "helper/fetch_assembly.h"
#include "helper/helper_service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace korvel {
namespace {

// A collector that logs its call and answers value.
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
            logged(calls, "memory", MemoryFigures{100, 30, 60, 42}),
            logged(calls, "temperatures", Temperatures{51.0, 47.0}),
            logged(calls, "coreCount", std::optional<int64_t>(24)),
            logged(calls, "usage", std::optional<double>(12.5))};
}

TEST(FetchAssemblyTest, EachCollectorFillsItsOwnMembersInTheFixedOrder) {
    std::vector<std::string> calls;
    const HelperResponse r = assembleHelperResponse(true, recording(calls));
    EXPECT_EQ(calls, (std::vector<std::string>{"now", "processes+system", "interfaces", "memory",
                                               "temperatures", "coreCount", "usage"}));
    HelperResponse expected;
    expected.processes = {{7, "seven", std::nullopt, 3, 4}};
    expected.connections = {{7, "TCP", "10.0.0.1", 1, "10.0.0.2", 2, 4}};
    expected.interfaces = {{"eth0", 5, 6}};
    expected.timestamp = 8.0e8;
    expected.totalRam = 100;
    expected.usedRam = 30;
    expected.freeRam = 60;
    expected.memPressureLevel = 42;
    expected.cpuTemperatureCelsius = 51.0;
    expected.gpuTemperatureCelsius = 47.0;
    expected.gpuCoreCount = 24;
    expected.gpuUsagePercent = 12.5;
    EXPECT_EQ(r, expected);
}

TEST(FetchAssemblyTest, WhenEveryCollectorFailsTheReplyIsStillADocument) {
    std::vector<std::string> calls;
    FetchCollectors failing = recording(calls);
    failing.processTable = [](bool, std::vector<HelperConnectionData>&) {
        return std::vector<HelperProcessData>{};
    };
    failing.interfaceCounters = [] { return std::vector<HelperInterfaceData>{}; };
    failing.memoryFigures = [] { return MemoryFigures{}; };
    failing.temperatures = [] { return Temperatures{}; };
    failing.gpuCoreCount = [] { return std::nullopt; };
    failing.gpuUsage = [] { return std::nullopt; };
    const auto text = encodeHelperResponse(assembleHelperResponse(false, failing));
    ASSERT_TRUE(text);
    EXPECT_EQ(nlohmann::json::parse(*text),
              nlohmann::json::parse(R"({"processes":[],"connections":[],"interfaces":[],)"
                                    R"("timestamp":8e8,"totalRam":0,"usedRam":0,"freeRam":0,)"
                                    R"("memPressureLevel":100})"));
}

TEST(FetchAssemblyTest, TheLiveServiceAnswersEachRequestWithALaterReading) {
    HelperService service;
    std::vector<platform::xpc::Reply> replies;
    for (bool showSystem : {false, true}) {
        service.handle({kFetchDataSelector, showSystem},
                       [&](const platform::xpc::Reply& reply) { replies.push_back(reply); });
    }
    service.handle({"unknownSelector:", true},
                   [&](const auto& reply) { replies.push_back(reply); });
    ASSERT_EQ(replies.size(), 2u) << "only the fetch selector is answered by the service";
    ASSERT_TRUE(replies[0] && replies[1]);
    const auto first = decodeHelperResponse(*replies[0]);
    const auto second = decodeHelperResponse(*replies[1]);
    ASSERT_TRUE(first && second);
    EXPECT_LT(first->timestamp, second->timestamp);
    EXPECT_GT(first->timestamp, 600000000.0) << "seconds since 2001, past 2020";
    EXPECT_GT(first->totalRam, 0u);
}

} // namespace
} // namespace korvel
