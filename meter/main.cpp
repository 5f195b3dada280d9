// korvel-meter: counts every socket's bytes in the kernel and tells each
// helper that asks the counts of the sockets its user may see. Runs as root,
// started by its systemd socket; exits (and the kernel detaches its programs)
// after a minute with nobody asking.

#include "meter/cgroup_root.h"
#include "meter/kernel_counters.h"
#include "meter/meter_service.h"
#include "shared/meter_reply.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr auto kIdleExit = 60s;
constexpr auto kDrainPeriod = 1s;
constexpr const char* kPrivateCgroupRoot = "/run/korvel/cgroup2";

std::chrono::milliseconds idleExit() {
    if (const char* value = std::getenv("KORVEL_METER_IDLE_EXIT_MS")) {
        const long milliseconds = std::strtol(value, nullptr, 10);
        if (milliseconds > 0) {
            return std::chrono::milliseconds(milliseconds);
        }
    }
    return kIdleExit;
}

int fail(const std::string& why) {
    std::cerr << "korvel-meter: " << why << '\n';
    return 1;
}

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    if (::geteuid() != 0) {
        return fail("counting in the kernel needs root; the helper counts TCP without it");
    }
    ::mkdir("/run/korvel", 0755);
    std::string why;
    const auto cgroup = korvel::meter::cgroup2Root(kPrivateCgroupRoot, why);
    if (!cgroup) {
        return fail(why);
    }
    auto counters = korvel::meter::KernelCounters::attach(*cgroup, why);
    if (!counters) {
        return fail(why);
    }
    korvel::meter::MeterState state(std::move(counters));
    korvel::meter::MeterDelegate delegate(state);
    const std::string path = korvel::meterSocketPath();
    auto listener = korvel::platform::service::Listener::socketListener(path, why);
    if (!listener) {
        return fail(why);
    }
    // Every user's helper asks; what each is told is decided per peer.
    ::chmod(path.c_str(), 0666);
    listener->serveEveryUser();
    listener->setDelegate(&delegate);
    listener->setIdleExit(idleExit());
    listener->resume();
    std::jthread drainer([&state](std::stop_token stop) {
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(kDrainPeriod);
            state.drain();
        }
    });
    if (!listener->run()) {
        return fail(std::string("stopped serving: ") + std::strerror(errno));
    }
    return 0;
}
