#include "helper/helper_service.h"
#include "helper/meter_client.h"
#include "meter/cgroup_root.h"
#include "meter/meter_service.h"
#include "platform/service/messages.h"
#include "platform/service/unix_socket.h"
#include "shared/helper_response.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace korvel {
namespace {

using namespace std::chrono_literals;

TEST(MeterTest, FindsTheCgroup2RootAmongTheMounts) {
    const std::string v1 = "30 25 0:26 / /sys/fs/cgroup/cpu rw shared:9 - cgroup cgroup rw,cpu\n";
    const std::string nested = "31 25 0:27 /user.slice /mnt/sub rw - cgroup2 cgroup2 rw\n";
    const std::string root =
        "32 25 0:28 / /run/my\\040cgroups rw shared:10 master:1 - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(meter::cgroup2MountPoint(v1 + nested + root), "/run/my cgroups");
    EXPECT_FALSE(meter::cgroup2MountPoint(v1 + nested)) << "a subtree is not the root";
    EXPECT_FALSE(meter::cgroup2MountPoint("30 25 0:26 / /x rw -"));
}

TEST(MeterTest, EachPeerSeesItsOwnSocketsAndEndedOnesStayBounded) {
    const auto owned = [](uint64_t cookie, uint32_t uid) {
        MeterSocket s;
        s.cookie = cookie;
        s.uid = uid;
        return s;
    };
    MeterReply all;
    all.sockets = {owned(1, 1000), owned(2, 0), owned(3, 1000)};
    const MeterReply mine = meter::visibleTo(all, 1000);
    ASSERT_EQ(mine.sockets.size(), 2u);
    EXPECT_TRUE(std::all_of(mine.sockets.begin(), mine.sockets.end(),
                            [](const MeterSocket& s) { return s.uid == 1000; }));
    EXPECT_EQ(meter::visibleTo(all, std::nullopt), all);
    EXPECT_TRUE(meter::seesEverySocket(0));

    meter::EndedSockets ended;
    ended.add({owned(7, 0)}, 0);
    std::vector<MeterSocket> out;
    const uint64_t next = ended.appendSince(0, out);
    ended.add(std::vector<MeterSocket>(meter::EndedSockets::kMostRows, owned(8, 0)), 100);
    out.clear();
    EXPECT_EQ(ended.appendSince(next, out), next + meter::EndedSockets::kMostRows);
    EXPECT_EQ(out.size(), meter::EndedSockets::kMostRows) << "each told once";
    EXPECT_EQ(ended.dropped(), 1u);
    out.clear();
    ended.add({owned(9, 0)}, 100 + meter::EndedSockets::kKeepSeconds + 1);
    ended.appendSince(0, out);
    ASSERT_EQ(out.size(), 1u) << "kept two minutes, no longer";
    EXPECT_EQ(out[0].cookie, 9u);
}

// Each connection is told its open sockets once, then what changed; the
// helper's side puts the whole back together, through the wire format.
TEST(MeterTest, AConnectionIsToldWhatChangedAndTheClientKeepsTheWhole) {
    const auto socket = [](uint64_t cookie, uint64_t bytesIn, bool ended = false) {
        MeterSocket s;
        s.cookie = cookie;
        s.proto = "UDP";
        s.bytesIn = bytesIn;
        s.ended = ended;
        return s;
    };
    meter::OpenSocketsTold meterSide;
    MeterSocketsTold helperSide;
    const auto roundTrip = [&](std::vector<MeterSocket> sockets, MeterReply* sent = nullptr) {
        MeterReply all;
        all.sockets = std::move(sockets);
        const MeterReply changes = meterSide.changes(all);
        if (sent != nullptr) {
            *sent = changes;
        }
        return helperSide.apply(*decodeMeterReply(encodeMeterReply(changes)));
    };
    MeterReply sent;
    EXPECT_EQ(roundTrip({socket(1, 10), socket(2, 20), socket(3, 30)}, &sent).sockets.size(), 3u);
    EXPECT_TRUE(sent.full);
    // Idle sockets cost nothing; one that moved, one new and one gone are told.
    const MeterReply whole =
        roundTrip({socket(1, 10), socket(2, 25), socket(4, 1), socket(3, 30, true)}, &sent);
    EXPECT_FALSE(sent.full);
    ASSERT_EQ(sent.sockets.size(), 3u) << "2 moved, 4 is new, 3 ended";
    EXPECT_EQ(sent.gone, std::vector<uint64_t>{3}) << "told before, open no longer";
    std::vector<std::pair<uint64_t, uint64_t>> seen;
    for (const MeterSocket& s : whole.sockets) {
        seen.emplace_back(s.cookie, s.ended ? 1000 + s.bytesIn : s.bytesIn);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen,
              (std::vector<std::pair<uint64_t, uint64_t>>{{1, 10}, {2, 25}, {3, 1030}, {4, 1}}));
    // A socket the kernel let go of without an ended record leaves the whole too.
    roundTrip({socket(1, 10), socket(4, 1)}, &sent);
    EXPECT_EQ(sent.gone, std::vector<uint64_t>{2});
    EXPECT_EQ(roundTrip({socket(1, 10), socket(4, 1)}).sockets.size(), 2u);
    EXPECT_TRUE(roundTrip({socket(1, 10), socket(4, 1)}, &sent).sockets.size() == 2 &&
                sent.sockets.empty());
    // A meter of another version, a torn reply, and rows of the wrong shape.
    EXPECT_FALSE(decodeMeterReply(R"({"sockets":[],"lost":0})"));
    EXPECT_FALSE(decodeMeterReply(R"({"sockets":[],"lost":0,"full":true,"gone":[]}])"));
    const auto partial = decodeMeterReply(
        R"({"sockets":[{"cookie":1},7],"lost":2,"full":false,"gone":[9],"later":{}})");
    ASSERT_TRUE(partial);
    EXPECT_TRUE(partial->sockets.empty());
    EXPECT_EQ(partial->gone, std::vector<uint64_t>{9});
}

// A meter of the test's own, on a socket in a scratch directory.
class LiveMeter {
public:
    explicit LiveMeter(const std::string& socketPath) : socket_(socketPath) { start(); }
    ~LiveMeter() { stop(); }
    void start() {
        log_ = socket_ + ".log";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 2);
            ::setenv("KORVEL_METER_SOCKET", socket_.c_str(), 1);
            const std::string meter = std::string(KORVEL_TEST_BINARY_DIR) + "/korvel-meter";
            ::execl(meter.c_str(), meter.c_str(), nullptr);
            ::_exit(127);
        }
    }
    // Empty when it answers; else why it does not (what it said, if it ended).
    std::string waitUntilServing() {
        for (int i = 0; i < 500; ++i) {
            if (MeterClient(socket_).ask()) {
                return {};
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                std::ifstream in(log_);
                return std::string(std::istreambuf_iterator<char>(in), {});
            }
            std::this_thread::sleep_for(10ms);
        }
        return "the meter did not answer within five seconds";
    }
    void kill() { stop(); }

private:
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    std::string socket_;
    std::string log_;
    pid_t pid_ = -1;
};

// Sends `count` datagrams of `size` bytes to a fresh receiver on loopback;
// the two sockets stay open for the caller.
std::pair<int, int> sendDatagrams(int count, size_t size) {
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(receiver, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::connect(sender, reinterpret_cast<sockaddr*>(&address), length);
    const std::string payload(size, 'x');
    for (int i = 0; i < count; ++i) {
        (void)!::send(sender, payload.data(), payload.size(), 0);
        char sink[2048];
        (void)!::recv(receiver, sink, sizeof sink, 0);
    }
    return {sender, receiver};
}

std::optional<MeterSocket> findSocket(const MeterReply& reply, int32_t pid, uint64_t bytesOut) {
    for (const MeterSocket& s : reply.sockets) {
        if (s.pid == pid && s.bytesOut == bytesOut) {
            return s;
        }
    }
    return std::nullopt;
}

TEST(MeterLiveTest, CountsPayloadExactlyAndTellsEachUserOnlyTheirOwn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the meter loads BPF programs, which needs root";
    }
    testing::TempDir dir;
    ::chmod(dir.str().c_str(), 0755); // an ordinary user asks too
    const std::string socket = dir.str() + "/meter.sock";
    LiveMeter meter(socket);
    if (const std::string why = meter.waitUntilServing(); !why.empty()) {
        GTEST_SKIP() << "the kernel refused the meter: " << why;
    }
    MeterClient client(socket);
    ASSERT_TRUE(client.ask()) << "a connection is told what ends after it was made";
    const auto [sender, receiver] = sendDatagrams(100, 1200);
    auto reply = client.ask();
    ASSERT_TRUE(reply);
    const auto sent = findSocket(*reply, ::getpid(), 120000);
    ASSERT_TRUE(sent) << "100 datagrams of 1,200 payload bytes, headers left out";
    EXPECT_EQ(sent->proto, "UDP");
    EXPECT_EQ(sent->packetsOut, 100u);

    // The helper's reading carries them on its UDP row, marked as the meter's.
    {
        testing::ScopedEnv env("KORVEL_METER_SOCKET", socket);
        HelperService service;
        std::optional<std::string> json;
        service.fetchData(false, [&](const std::optional<std::string>& r) { json = r; });
        const auto reading = decodeHelperResponse(json.value_or(""));
        ASSERT_TRUE(reading);
        const auto row =
            std::find_if(reading->connections.begin(), reading->connections.end(),
                         [&](const HelperConnectionData& c) { return c.cookie == sent->cookie; });
        ASSERT_NE(row, reading->connections.end());
        EXPECT_EQ(row->bytesOut, 120000u);
        EXPECT_EQ(row->source, kMeterSource);
    }

    // An ordinary user is told of their own sockets only.
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        const auto own = sendDatagrams(3, 100);
        const auto theirs = MeterClient(socket).ask();
        const bool onlyOwn = theirs && !theirs->sockets.empty() &&
                             std::all_of(theirs->sockets.begin(), theirs->sockets.end(),
                                         [](const MeterSocket& s) { return s.uid == 65534; });
        ::close(own.first);
        ::_exit(onlyOwn ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: saw another user's sockets or none; 2: setuid";

    // A socket closed at once is told with its creator and final counts.
    ::close(sender);
    std::this_thread::sleep_for(50ms);
    reply = client.ask();
    ASSERT_TRUE(reply);
    const auto ended = findSocket(*reply, ::getpid(), 120000);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(ended->ended);
    reply = client.ask();
    ASSERT_TRUE(reply);
    EXPECT_FALSE(findSocket(*reply, ::getpid(), 120000)) << "told once";
    ::close(receiver);
}

TEST(MeterLiveTest, HostileFramesAndKillsLeaveClientsServed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the meter loads BPF programs, which needs root";
    }
    testing::TempDir dir;
    const std::string socket = dir.str() + "/meter.sock";
    LiveMeter meter(socket);
    if (const std::string why = meter.waitUntilServing(); !why.empty()) {
        GTEST_SKIP() << "the kernel refused the meter: " << why;
    }
    const std::string frames[] = {std::string("\xff\xff\xff\xff", 4),
                                  std::string("\0\0\0\x05\x03"
                                              "abc",
                                              8),
                                  platform::service::encodeRequestFrame({"removeEverything", true}),
                                  std::string("\0\0\0\x02\x7f", 5), std::string(3000, '\x01')};
    for (int i = 0; i < 200; ++i) {
        const int fd = platform::service::connectUnixSocket(socket);
        ASSERT_GE(fd, 0);
        platform::service::sendAll(fd, frames[i % std::size(frames)]);
        ::close(fd);
    }
    EXPECT_EQ(meter.waitUntilServing(), "") << "still serving after 200 hostile frames";

    meter.kill();
    MeterClient client(socket);
    EXPECT_FALSE(client.ask());
    meter.start();
    EXPECT_EQ(meter.waitUntilServing(), "") << "a killed meter started again serves";

    // One that takes the connection and never answers costs the deadline,
    // then is left alone for a while.
    const std::string stuck = dir.str() + "/stuck.sock";
    const int listening = platform::service::listenUnixSocket(stuck, true);
    ASSERT_GE(listening, 0);
    MeterClient patient(stuck);
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(patient.ask());
    EXPECT_LT(std::chrono::steady_clock::now() - before, MeterClient::kDeadline + 200ms);
    before = std::chrono::steady_clock::now();
    EXPECT_FALSE(patient.ask());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms) << "paused, not asked again";
    ::close(listening);
}

} // namespace
} // namespace korvel
