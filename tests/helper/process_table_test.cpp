#include "helper/process_owner.h"
#include "helper/process_table.h"
#include "helper/socket_table.h"
#include "tests/support/proc_fixture.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

namespace korvel {
namespace {

using testing::FixtureStat;
using testing::tableEndpoint;
using V4 = std::array<uint8_t, 4>;
using namespace std::string_literals;

std::optional<HelperProcessData> row(const std::vector<HelperProcessData>& rows, int32_t pid) {
    const auto found =
        std::find_if(rows.begin(), rows.end(), [pid](auto& r) { return r.pid == pid; });
    return found == rows.end() ? std::nullopt : std::optional(*found);
}

template <typename Row> std::vector<int32_t> pids(const std::vector<Row>& rows) {
    std::vector<int32_t> out;
    for (const auto& r : rows) {
        out.push_back(r.pid);
    }
    return out;
}

// A machine of a few processes, each holding one TCP listener of its own.
class ProcessTableTest : public ::testing::Test {
protected:
    void addProcess(int pid, const std::string& exe, const FixtureStat& stat) {
        fixture.addStat(pid, stat);
        if (!exe.empty()) {
            fixture.addExe(pid, exe);
        }
        fixture.addFd(pid, 0, "/dev/null");
        fixture.addSocketFd(pid, 3, 100 + pid);
        fixture.addTableLine("tcp", tableEndpoint(V4{}, 1000 + pid), tableEndpoint(V4{}, 0), "0A",
                             100 + pid);
    }

    testing::ProcFixture fixture;
    std::vector<HelperConnectionData> connections;
};

// The members a row has of unit, appId and container, as "member=value ...".
std::string attribution(const HelperProcessData& row) {
    std::string text;
    for (const auto& [member, value] :
         {std::pair{"unit", row.unit}, {"appId", row.appId}, {"container", row.container}}) {
        text += value ? (text.empty() ? "" : " ") + std::string(member) + "=" + *value : "";
    }
    return text;
}

// Cgroup files as real machines write them, "$U" standing for the helper's
// user in a session. Each host is the helper's own uid and cgroup path.
TEST_F(ProcessTableTest, TheSessionOrElseTheUidDrawsTheSystemLineAndCgroupsNameOwners) {
    const uint32_t owner = ::geteuid(); // of every fixture process
    const uint32_t user = owner + 1;
    const std::string id = "4c01db0b339c2a5bd66b58b9d6bd8cc5e2c5f40f7b8a2b09e1b3e4c9d04a1f27";
    const std::string session = "0::/user.slice/user-$U.slice/user@$U.service/";
    enum Host { inSession, noSystemd, noSystemdOtherUser, inContainer };
    const std::pair<uint32_t, std::string> hosts[] = {
        {user, "/user.slice/user-$U.slice/user@$U.service/app.slice/app-gnome-korvel-42.scope"},
        {owner, "/"},
        {user, "/"},
        {owner, "/docker/" + id},
    };
    struct Case {
        Host host;
        std::string cgroup; // empty: no cgroup file
        bool kept;
        std::string attribution;
    };
    const Case cases[] = {
        {inSession, session + "app.slice/app-gnome-firefox-2871.scope", true,
         "unit=app-gnome-firefox-2871.scope appId=firefox"},
        {inSession, session + "app.slice/app-flatpak-org.mozilla.firefox-12345.scope", true,
         "unit=app-flatpak-org.mozilla.firefox-12345.scope appId=org.mozilla.firefox"},
        {inSession, session + "app.slice/pipewire.service", true, "unit=pipewire.service"},
        {inSession, session + "session.slice/org.gnome.Shell@wayland.service", false,
         "unit=org.gnome.Shell@wayland.service"},
        {inSession, session + "init.scope", false, "unit=init.scope"},
        {inSession, "0::/system.slice/sshd.service", false, "unit=sshd.service"},
        {inSession, "0::/system.slice/docker-" + id + ".scope", false,
         "unit=docker-" + id + ".scope container=" + id},
        {inSession, session + "user.slice/libpod-" + id + ".scope/container", true,
         "unit=libpod-" + id + ".scope container=" + id},
        {inSession, session + "user.slice/libpod-conmon-" + id + ".scope", true,
         "unit=libpod-conmon-" + id + ".scope"},
        {inSession, "0::/kubepods.slice/cri-containerd-" + id + ".scope", false,
         "unit=cri-containerd-" + id + ".scope container=" + id},
        {inSession, "0::/system.slice/cri-containerd-gc.service", false,
         "unit=cri-containerd-gc.service"}, // not a hex id: no container
        {inSession, "0::/machine.slice/crio-" + id + ".scope", false,
         "unit=crio-" + id + ".scope container=" + id},
        {inSession, "0::/lxc/web01/init.scope", false, "unit=init.scope container=web01"},
        {inSession, "0::/lxc.payload.web02/system.slice/cron.service", false,
         "unit=cron.service container=web02"},
        {inSession, "0::/user.slice/user-$U.slice/session-3.scope", true, "unit=session-3.scope"},
        {inSession, "0::/user.slice/user-0.slice/user@0.service/app.slice/app-gnome-vim-9.scope",
         false, "unit=app-gnome-vim-9.scope appId=vim"},
        {inSession,
         session +
             "app.slice/app-gnome-org.gnome.Evolution\\x2dalarm\\x2dnotify-3001.scope (deleted)",
         true,
         "unit=app-gnome-org.gnome.Evolution\\x2dalarm\\x2dnotify-3001.scope "
         "appId=org.gnome.Evolution-alarm-notify"},
        {inSession, "", false, ""}, // judged by its uid
        {inSession,
         "2:cpu,cpuacct:/user.slice\n1:name=systemd:/user.slice/user-$U.slice/user@$U.service/"
         "app.slice/app-org.kde.kalendarac@autostart.service",
         true, "unit=app-org.kde.kalendarac@autostart.service appId=org.kde.kalendarac"},
        {noSystemd, "9:name=systemd:/\n0::/", true, ""},
        {noSystemd, "", true, ""},
        {noSystemdOtherUser, "0::/", false, ""},
        {inContainer, "0::/docker/" + id, true, "container=" + id},
    };
    const auto forUser = [U = std::to_string(user)](std::string text) {
        for (size_t at = text.find("$U"); at != std::string::npos; at = text.find("$U", at)) {
            text.replace(at, 2, U);
        }
        return text;
    };
    int pid = 100;
    for (const Case& c : cases) {
        addProcess(++pid, "", {"p" + std::to_string(pid)});
        if (!c.cgroup.empty()) {
            fixture.addCgroup(pid, forUser(c.cgroup) + "\n");
        }
    }
    platform::proc::ProcSource source(fixture.options());
    for (int host = inSession; host <= inContainer; ++host) {
        const SystemProcessRule rule(hosts[host].first, forUser(hosts[host].second));
        std::vector<int32_t> listed, expected;
        for (pid = 101; const Case& c : cases) {
            if (c.host == host) {
                listed.push_back(pid);
                if (c.kept) {
                    expected.push_back(pid);
                }
            }
            ++pid;
        }
        const auto kept = collectProcessTable(source, listed, false, rule, connections);
        EXPECT_EQ(pids(kept), expected) << "host " << host;
        EXPECT_EQ(pids(connections), expected) << "sockets go with their processes";
        connections.clear();
        const auto all = collectProcessTable(source, listed, true, rule, connections);
        ASSERT_EQ(pids(all), listed);
        for (const auto& row : all) {
            EXPECT_EQ(row.uid, owner);
            EXPECT_EQ(attribution(row), cases[row.pid - 101].attribution);
        }
        connections.clear();
    }
}

TEST_F(ProcessTableTest, UnreadableOrVanishedProcessesAreDroppedOrZeroedAsTheirReadsFail) {
    addProcess(20, "/opt/nostat", {"x"});
    std::filesystem::remove(fixture.path() / "20" / "stat"); // task info fails: zeros
    addProcess(21, "", {""});                                // no path, empty short name
    addProcess(22, "", {"x"});
    std::filesystem::remove(fixture.path() / "22" / "stat"); // neither path nor name
    addProcess(26, "/opt/\xff\xfeweird\xc3", {"weird"});
    addProcess(27, "", {"bad\xe2\x82name"});
    addProcess(28, "/usr/bin/python3.11", {"python3"}); // the script is read for interpreters only
    fixture.dir().write("28/cmdline", "python3\0-u\0/srv/sink\xff.py\0"s);
    addProcess(31, "/opt/goes", {"goes", 1, 0x400000, 9, 9, 1, 9});

    platform::proc::ProcSource source(fixture.options());
    const auto listed = source.listAllPids();
    fixture.removePid(31); // gone between listing and reading: no trace
    auto rows =
        collectProcessTable(source, listed, false, {std::nullopt, std::nullopt}, connections);
    for (auto& row : rows) {
        // Read against the live boot clock; only its absence is the fixture's.
        EXPECT_EQ(row.startTime.has_value(), row.pid != 20) << row.pid;
        row.startTime.reset();
    }
    const std::string bad = "\xEF\xBF\xBD";
    const uint32_t owner = ::geteuid();
    EXPECT_EQ(row(rows, 20), (HelperProcessData{20, "nostat", "/opt/nostat", 0, 0, owner}));
    EXPECT_EQ(row(rows, 26), (HelperProcessData{26, bad + bad + "weird" + bad,
                                                "/opt/" + bad + bad + "weird" + bad, 0, 0, owner}));
    EXPECT_EQ(row(rows, 27),
              (HelperProcessData{27, "bad" + bad + "name", std::nullopt, 0, 0, owner}));
    EXPECT_EQ(row(rows, 28)->script, "sink" + bad + ".py");
    EXPECT_EQ(rows.size(), 4u) << "neither 21, 22 nor 31";
    EXPECT_EQ(pids(connections), pids(rows));
}

TEST_F(ProcessTableTest, SocketRowsFollowDescriptorsThroughTheTables) {
    using testing::mappedV4;
    using testing::v6Loopback;
    fixture.addStat(40, {"net"});
    fixture.addExe(40, "/opt/net");
    const auto socketAt = [&](int fd, const std::string& table, const std::string& local,
                              const std::string& remote, const std::string& state, uint64_t inode) {
        fixture.addSocketFd(40, fd, inode);
        fixture.addTableLine(table, local, remote, state, inode);
    };
    const V4 lo{127, 0, 0, 1};
    socketAt(3, "tcp", tableEndpoint(lo, 8080), tableEndpoint(V4{}, 0), "0A", 201);
    socketAt(4, "tcp", tableEndpoint(lo, 8080), tableEndpoint(V4{127, 0, 0, 2}, 5000), "01", 202);
    socketAt(5, "tcp6", tableEndpoint(v6Loopback(), 9000), tableEndpoint(v6Loopback(), 6000), "01",
             203);
    socketAt(6, "tcp6", tableEndpoint(mappedV4(127, 0, 0, 1), 9001),
             tableEndpoint(mappedV4(127, 0, 0, 1), 8080), "08", 204);
    socketAt(7, "udp", tableEndpoint(lo, 53), tableEndpoint(lo, 5353), "01", 205);
    socketAt(8, "tcp", tableEndpoint(V4{10, 0, 0, 5}, 40000),
             tableEndpoint(V4{93, 184, 216, 34}, 443), "02", 206);
    socketAt(9, "udp6", tableEndpoint(v6Loopback(), 123), tableEndpoint(v6Loopback(), 0), "07",
             207);
    fixture.addSocketFd(40, 10, 999); // a Unix socket: in no table
    fixture.addSocketFd(40, 11, 206); // the same socket through a second descriptor
    fixture.addFd(40, 12, "pipe:[206]");
    // A child that inherited the listener.
    fixture.addStat(41, {"child"});
    fixture.addExe(41, "/opt/child");
    fixture.addSocketFd(41, 5, 201);
    // A container's process: its sockets are in its own namespace's tables.
    fixture.addStat(42, {"contained"});
    fixture.addExe(42, "/opt/contained");
    fixture.addSocketFd(42, 3, 301);
    fixture.dir().write("self/ns/net", "ours");
    fixture.dir().write("42/ns/net", "theirs");
    fixture.dir().write("42/net/dev",
                        "Inter-|   Receive |  Transmit\n face |bytes packets|bytes\n"
                        "    lo: 900 9 0 0 0 0 0 0 900 9 0 0 0 0 0 0\n"
                        "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\n"
                        "  eth1:  500 5 0 0 0 0 0 0 70 1 0 0 0 0 0 0\n"
                        "  bad: 1 2\n");
    fixture.dir().write("42/net/udp", "  sl  local_address rem_address   st\n   0: " +
                                          tableEndpoint(V4{172, 17, 0, 2}, 443) + " " +
                                          tableEndpoint(V4{}, 0) +
                                          " 07 00000000:00000000 00:00000000 00000000  1000 "
                                          "       0 301 1 0000000000000000 100 0 0 10 0\n");

    platform::proc::ProcSource source(fixture.options());
    const auto rows =
        collectProcessTable(source, {40, 41, 42}, false, {std::nullopt, std::nullopt}, connections);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_FALSE(rows[0].namespaceBytesIn) << "ours: no container traffic";
    EXPECT_EQ(rows[2].namespaceBytesIn, 1500u) << "loopback and a broken line left out";
    EXPECT_EQ(rows[2].namespaceBytesOut, 2070u);
    const std::vector<HelperConnectionData> expected{
        {40, "TCP", "127.0.0.1", 8080, "0.0.0.0", 0, 1},
        {40, "TCP6", "::ffff:127.0.0.1", 9001, "::ffff:127.0.0.1", 8080, 5},
        {40, "UDP", "127.0.0.1", 53, "127.0.0.1", 5353, -1},
        {40, "TCP", "10.0.0.5", 40000, "93.184.216.34", 443, 2},
        {40, "UDP6", "::1", 123, "::1", 0, -1},
        {40, "TCP", "10.0.0.5", 40000, "93.184.216.34", 443, 2},
        {41, "TCP", "127.0.0.1", 8080, "0.0.0.0", 0, 1},
        {42, "UDP", "172.17.0.2", 443, "0.0.0.0", 0, -1},
    };
    EXPECT_EQ(connections, expected);
}

// GPU clients as an AMD desktop and an Intel laptop show them, and storage
// bytes; what cannot be read stays absent rather than zero.
TEST_F(ProcessTableTest, GpuClientsCountOncePerDeviceAndStorageBytesLoseCancelledWrites) {
    const auto fdinfo = [&](int pid, int fd, const std::string& device, const std::string& text) {
        fixture.addFd(pid, fd, device);
        fixture.dir().write(std::to_string(pid) + "/fdinfo/" + std::to_string(fd), text);
    };
    const std::string amd = "pos:\t0\nflags:\t02100002\ndrm-driver:\tamdgpu\n"
                            "drm-pdev:\t0000:03:00.0\ndrm-client-id:\t7\n"
                            "drm-memory-vram:\t1024 KiB\ndrm-memory-gtt:\t512 KiB\n"
                            "drm-engine-gfx:\t1500000000 ns\ndrm-engine-compute:\t20 ns\n";
    addProcess(50, "/usr/bin/game", {"game"});
    fdinfo(50, 5, "/dev/dri/renderD128", amd);
    fdinfo(50, 6, "/dev/dri/renderD128", amd); // a second descriptor of the same client
    addProcess(51, "/usr/bin/helper", {"helper"});
    fdinfo(51, 4, "/dev/dri/renderD128", amd); // handed over: still one client
    addProcess(52, "/usr/bin/player", {"player"});
    fdinfo(52, 4, "/dev/dri/card0",
           "drm-driver: i915\ndrm-pdev: 0000:00:02.0\ndrm-client-id: 7\n"
           "drm-engine-render: 5000 ns\ndrm-engine-video: 700 ns\ndrm-engine-copy: 0 ns\n"
           "drm-engine-capacity-video: 2\ndrm-total-system0: 8 MiB\n"
           "drm-resident-system0: 4 MiB\n");
    fixture.dir().write("52/io", "rchar: 100\nwchar: 90000\nread_bytes: 4096\n"
                                 "write_bytes: 81920\ncancelled_write_bytes: 8192\n");
    addProcess(53, "/usr/bin/closer", {"closer"});
    fixture.addFd(53, 4, "/dev/dri/renderD128"); // closed before its fdinfo was read
    fdinfo(53, 5, "/dev/dri/renderD128", "drm-client-id: x\ndrm-engine-gfx: 12");
    fixture.dir().write("53/io", "read_bytes: 4096\nwrite_by");

    platform::proc::ProcSource source(fixture.options());
    const auto rows = collectProcessTable(source, {50, 51, 52, 53}, false,
                                          {std::nullopt, std::nullopt}, connections);
    const auto game = row(rows, 50), helper = row(rows, 51), player = row(rows, 52),
               closer = row(rows, 53);
    ASSERT_TRUE(game && helper && player && closer);
    EXPECT_EQ(game->gpuEngines,
              (std::vector<HelperGpuEngineData>{{"compute", 20}, {"gfx", 1'500'000'000}}));
    EXPECT_EQ(game->gpuMemoryBytes, 1536u * 1024);
    EXPECT_TRUE(helper->gpuEngines.empty() && !helper->gpuMemoryBytes) << "counted with 50";
    EXPECT_EQ(player->gpuEngines,
              (std::vector<HelperGpuEngineData>{{"copy", 0}, {"render", 5000}, {"video", 700}}))
        << "client 7 of another device is another client";
    EXPECT_EQ(player->gpuMemoryBytes, 4u << 20) << "resident, not the total";
    EXPECT_EQ(std::tie(player->diskReadBytes, player->diskWriteBytes),
              std::make_tuple(std::optional<uint64_t>(4096), std::optional<uint64_t>(73728)));
    EXPECT_TRUE(closer->gpuEngines.empty() && !closer->gpuMemoryBytes);
    EXPECT_FALSE(closer->diskReadBytes || closer->diskWriteBytes) << "a cut file is no figure";
    EXPECT_FALSE(game->diskReadBytes || game->diskWriteBytes) << "no io file: unknown, not 0";
}

} // namespace
} // namespace korvel
