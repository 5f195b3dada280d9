#pragma once

#include "companion/engine/command_notifications.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "platform/defaults/user_defaults.h"
#include "platform/dispatch/notification_center.h"
#include "tests/support/virtual_dispatch.h"

#include <gtest/gtest.h>

namespace korvel::testing {

// A manager on a virtual clock with every outside reach replaced: requests
// are recorded and answered by the test, snapshots are counted.
class ManagerFixture : public ::testing::Test {
protected:
    struct Request {
        double at;
        bool showSystem;
        std::function<void(HelperResponse)> completion;
    };

    testing::VirtualDispatch dispatch;
    platform::NotificationCenter center{dispatch};
    platform::UserDefaults defaults{"test.domain", "", dispatch};
    std::vector<Request> requests;
    std::vector<HelperResponse> written;
    int removals = 0;
    std::vector<HelperInterfaceData> liveCounters;
    std::vector<std::optional<CPUTicks>> cpuTicksGiven; // the sampler's argument, per merge
    std::shared_ptr<KorvelManager> manager;

    ManagerEnvironment environment() {
        ManagerEnvironment env;
        env.dispatch = &dispatch;
        env.notifications = &center;
        env.defaults = &defaults;
        env.fetchData = [this](bool showSystem, std::function<void(HelperResponse)> completion) {
            requests.push_back({dispatch.monotonicNow(), showSystem, std::move(completion)});
        };
        env.writeAdvancedSnapshot = [this](const HelperResponse& r) { written.push_back(r); };
        env.removeAdvancedSnapshot = [this] { ++removals; };
        env.sampleCPU = [this](const std::optional<CPUTicks>& previous) {
            cpuTicksGiven.push_back(previous);
            return CPUSample{
                {static_cast<uint32_t>(cpuTicksGiven.size()), 0, 0, 0}, 12.0, 0.5, std::nullopt};
        };
        env.readLocalSystemFigures = [] { return LocalSystemFigures{8, {100, 50}, std::nullopt}; };
        env.processorCount = 8;
        env.liveTrafficSources.readCounters = [this] { return liveCounters; };
        env.liveTrafficSources.now = [this] { return dispatch.now(); };
        return env;
    }

    void start() { start(environment()); }
    void start(ManagerEnvironment env) {
        manager = KorvelManager::create(std::move(env));
        dispatch.runPending();
    }

    // Answers request i with a reading and lets the main queue merge it.
    void answer(size_t i, HelperResponse response) {
        ASSERT_LT(i, requests.size());
        requests[i].completion(std::move(response));
        dispatch.runPending();
    }

    std::vector<double> requestTimes() const {
        std::vector<double> times;
        for (const auto& r : requests) {
            times.push_back(r.at);
        }
        return times;
    }

    static HelperResponse reading(double timestamp, std::vector<HelperProcessData> processes = {},
                                  std::vector<HelperConnectionData> connections = {}) {
        HelperResponse r;
        r.timestamp = timestamp;
        r.processes = std::move(processes);
        r.connections = std::move(connections);
        r.totalRam = 1 << 30;
        return r;
    }
};

} // namespace korvel::testing
