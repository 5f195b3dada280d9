#include "companion/sampling/host_names.h"
#include "companion/text/terminal_text.h"
#include "companion/top/frame.h"
#include "companion/top/text_layout.h"

#include "shared/meter_reply.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace korvel::top {
namespace {

using namespace std::chrono_literals;

NetConnection socket(int32_t pid, const char* remote, uint16_t port, TCPState state,
                     std::optional<double> rateOut = std::nullopt) {
    NetConnection c = makeNetConnection(
        {pid, "TCP6", "::ffff:10.0.0.2", 40000, remote, port, static_cast<int32_t>(state)});
    c.rateIn = rateOut ? std::optional<double>(0) : std::nullopt;
    c.rateOut = rateOut;
    return c;
}

NetProcess process(int32_t pid, const char* name, double cpu, uint64_t mem,
                   std::vector<NetConnection> sockets, std::optional<double> out = std::nullopt) {
    NetProcess p;
    p.id = pid;
    p.name = p.displayName = name;
    p.cpuPercent = cpu;
    p.memBytes = mem;
    p.uid = 1000;
    p.connections = std::move(sockets);
    p.rateOut = out;
    p.rateIn = out ? std::optional<double>(0) : std::nullopt;
    return p;
}

TopModel sampleModel() {
    TopModel model;
    model.time = 1000;
    model.readings = 2;
    model.helperAvailable = true;
    model.system.cpuUsagePercent = 12.5;
    model.system.totalMem = 8ull << 30;
    model.system.usedMem = 3ull << 30;
    model.interfaces = {{"eth0", 1, 2, 1500, 5'000'000}, {"wlan0", 0, 0, 0, 0}};
    model.userNames[1000] = "alice";
    model.processes = {
        process(10, "browser", 30.0, 400ull << 20,
                {socket(10, "::ffff:93.184.216.34", 443, TCPState::established, 5e6),
                 socket(10, "::", 0, TCPState::listen)},
                5e6),
        process(20, "editor", 50.0, 100ull << 20, {}),
        process(30, "Daemon", 1.0, 900ull << 20, {}),
    };
    model.processes[1].unit = "editor.service";
    model.recentlyClosed[10] = {
        {.connection = socket(10, "::ffff:10.0.0.9", 80, TCPState::timeWait), .closedAt = 988}};
    return model;
}

FrameOptions screen(size_t width, size_t height) {
    FrameOptions options;
    options.width = width;
    options.height = height;
    return options;
}

bool anyLineHas(const Frame& frame, const std::string& needle) {
    return std::ranges::any_of(frame.lines, [&](const FrameLine& line) {
        return line.text.find(needle) != std::string::npos;
    });
}

// Handles `key` as the view would, against the frame as drawn.
void press(ViewState& state, const Frame& frame, Key key) {
    applyCommand(state, commandForKey(key, state), frame.listedPids, frame.listRows, false);
}

TEST(TextLayoutTest, CutsAndPadsByColumnsNotBytes) {
    EXPECT_EQ(fitLeft("abc", 5), "abc  ");
    EXPECT_EQ(fitLeft("abcdef", 4), "abc…");
    EXPECT_EQ(fitLeft("abcdef", 4, false), "abc~");
    EXPECT_EQ(fitRight("abcdef", 4), "…def");
    EXPECT_EQ(fitRight("abcdef", 1), "…");
    EXPECT_EQ(fitLeft("ñandú", 4), "ñan…"); // two-byte letters cost one column
    EXPECT_EQ(columnCount(fitLeft("ñandú—x", 6)), 6u);
    EXPECT_EQ(fitLeft("", 0), "");
    EXPECT_EQ(columnCount(std::string_view("abc").substr(0, 2)), 2u) << "not a byte past the view";
    // Wide glyphs take two columns and are never split; marks take none.
    EXPECT_EQ(columnCount("名前😀a"), 7u);
    EXPECT_EQ(fitLeft("名前テスト", 6), "名前 …");
    EXPECT_EQ(fitRight("テスト", 4), "… ト");
    EXPECT_EQ(fitLeft("e\u0301te", 2), "e\u0301…");
    EXPECT_EQ(fitRight("ae\u0301x", 2), "…x"); // no mark left without its letter
    EXPECT_EQ(fitLeft("a\tb\x1b", 8), "a b\\x1b ");

    const std::pair<double, std::string> rates[] = {
        {0, "0 B/s"},      {999, "999 B/s"}, {999.6, "1.0 kB/s"},  {12'345, "12.3 kB/s"},
        {5e6, "5.0 MB/s"}, {-3, "0 B/s"},    {5e15, "5000.0 TB/s"}};
    for (const auto& [rate, text] : rates) {
        EXPECT_EQ(formatRate(rate), text) << rate;
    }
    EXPECT_EQ(formatRateCompact(5e15), "5000.0T");
    EXPECT_EQ(formatBytesCompact(1536ull << 20), "1.5G");
    EXPECT_EQ(formatBytes(~0ull), "16384.0 PiB");
    // Too wide for its column, a figure moves up a unit rather than be cut.
    EXPECT_EQ(formatBytesCompact(1008ull << 10), "1008.0K");
    EXPECT_EQ(formatBytesCompact(1008ull << 10, 6), "1.0M");
    EXPECT_EQ(formatRate(995'400, 9), "1.0 MB/s");
    EXPECT_EQ(formatAge(119.9), "119 s");
    EXPECT_EQ(formatAge(7199), "119 min");
    EXPECT_EQ(formatAge(7200), "2 h");
    EXPECT_EQ(sparkline({0, 0.5, 1}, 5, false), "  _=#");
    EXPECT_EQ(columnCount(sparkline({1, 2, 3, 4, 5, 6, 7, 8, 9}, 4, true)), 4u);
    EXPECT_EQ(endpointText("::1", 443, true), "[::1]:443");
    EXPECT_EQ(endpointText("0.0.0.0", 0, false), "0.0.0.0:*");
    EXPECT_EQ(endpointText("::ffff:10.0.0.9", 80, true), "10.0.0.9:80");
}

TEST(FrameTest, FillsTheScreenExactlyAndKeepsTheSelectionOnItsProcess) {
    const TopModel model = sampleModel();
    for (const auto& [width, height] : {std::pair<size_t, size_t>{80, 24}, {132, 40}, {40, 10}}) {
        ViewState state;
        const Frame frame = renderFrame(model, state, screen(width, height));
        ASSERT_EQ(frame.lines.size(), height);
        for (const FrameLine& line : frame.lines) {
            EXPECT_EQ(columnCount(line.text), width) << "[" << line.text << "]";
        }
    }

    // The first reading has no CPU figures yet, so it lists by pid; until the
    // user moves, the selection stays on the top row of each new order.
    TopModel first = model;
    for (NetProcess& p : first.processes) {
        p.cpuPercent = 0;
    }
    ViewState state;
    EXPECT_EQ(renderFrame(first, state, {}).listedPids, (std::vector<int32_t>{10, 20, 30}));
    EXPECT_EQ(state.selectedPid, 10);
    Frame frame = renderFrame(model, state, {});
    EXPECT_EQ(frame.listedPids, (std::vector<int32_t>{20, 10, 30})); // by CPU
    EXPECT_EQ(state.selectedPid, 20);
    EXPECT_TRUE(anyLineHas(frame, "eth0"));
    EXPECT_FALSE(anyLineHas(frame, "wlan0")); // idle interfaces stay out of the header
    EXPECT_TRUE(anyLineHas(frame, "editor (editor.service)"));

    // Down, then the list re-sorts: the selection follows the process.
    press(state, frame, {Key::Kind::down});
    EXPECT_EQ(state.selectedPid, 10);
    press(state, frame, {Key::Kind::character, 'n'});
    frame = renderFrame(model, state, {});
    EXPECT_EQ(frame.listedPids, (std::vector<int32_t>{10, 30, 20})); // by name, any case
    EXPECT_EQ(state.selectedPid, 10);
    size_t selectedLines = 0;
    for (const FrameLine& line : frame.lines) {
        if (line.style == LineStyle::selected) {
            ++selectedLines;
            EXPECT_NE(line.text.find("browser"), std::string::npos);
        }
    }
    EXPECT_EQ(selectedLines, 1u);

    // Sorting by memory, by outgoing rate and by socket count.
    for (const auto& [key, order] : {std::pair<char32_t, std::vector<int32_t>>{'m', {30, 10, 20}},
                                     {'o', {10, 20, 30}},
                                     {'k', {10, 20, 30}}}) {
        press(state, frame, {Key::Kind::character, key});
        EXPECT_EQ(renderFrame(model, state, {}).listedPids, order) << char(key);
    }

    // A GPU% column only where a process has a GPU client; the disk columns
    // where the screen is wide, or sorted by one on a narrow screen.
    TopModel busy = model;
    busy.processes[2].gpuEngines = {{"gfx", 1}};
    busy.processes[2].gpuPercent = 40;
    busy.processes[0].diskWriteRate = 2e7;
    ViewState byDisk;
    EXPECT_FALSE(anyLineHas(renderFrame(model, byDisk, screen(132, 40)), "GPU%"));
    EXPECT_FALSE(anyLineHas(renderFrame(busy, byDisk, screen(80, 24)), "WR/s"));
    EXPECT_TRUE(anyLineHas(renderFrame(busy, byDisk, screen(100, 24)), "WR/s"));
    for (const auto& [key, first] : {std::pair<char32_t, int32_t>{'g', 30}, {'w', 10}}) {
        press(byDisk, frame, {Key::Kind::character, key});
        const Frame shown = renderFrame(busy, byDisk, screen(80, 24));
        EXPECT_EQ(shown.listedPids.front(), first) << char(key);
        EXPECT_TRUE(anyLineHas(shown, "GPU%") && anyLineHas(shown, "WR/s") == (key == 'w'));
    }

    // Moving down past the last row shown scrolls the selection into view.
    ViewState scrolled;
    frame = renderFrame(model, scrolled, screen(80, 9));
    ASSERT_EQ(frame.listRows, 2u);
    for (int i = 0; i < 2; ++i) {
        press(scrolled, frame, {Key::Kind::down});
        frame = renderFrame(model, scrolled, screen(80, 9));
    }
    EXPECT_EQ(scrolled.selectedPid, 30);
    EXPECT_TRUE(std::ranges::any_of(frame.lines, [](const FrameLine& line) {
        return line.style == LineStyle::selected && line.text.find("Daemon") != std::string::npos;
    }));
}

TEST(FrameTest, FilterTypedAfterSlashNarrowsTheListAndEscClearsIt) {
    TopModel model = sampleModel();
    model.otherTcp = OtherTcpRate{0, 2e6};
    ViewState state;
    Frame frame = renderFrame(model, state, screen(80, 9));
    EXPECT_EQ(frame.listRows, 1u) << "one row less for other TCP";
    EXPECT_NE(frame.lines.at(7).text.find("other TCP"), std::string::npos);
    for (char32_t c : std::u32string(U"/SERVX")) {
        press(state, frame, {Key::Kind::character, c});
    }
    frame = renderFrame(model, state, {});
    EXPECT_TRUE(frame.listedPids.empty());
    EXPECT_FALSE(anyLineHas(frame, "other TCP")) << "it is no process";
    EXPECT_TRUE(anyLineHas(frame, "Filter: SERVX_"));
    press(state, frame, {Key::Kind::backspace});
    frame = renderFrame(model, state, {});
    EXPECT_EQ(frame.listedPids, (std::vector<int32_t>{20})); // the unit matches, any case
    press(state, frame, {Key::Kind::enter});
    EXPECT_FALSE(state.openPid); // Enter ends the typing; it opens nothing
    press(state, frame, {Key::Kind::character, 'q'});
    EXPECT_TRUE(state.quit);
    press(state, frame, {Key::Kind::escape});
    model.otherTcp = OtherTcpRate{};
    frame = renderFrame(model, state, {});
    EXPECT_EQ(frame.listedPids.size(), 3u);
    EXPECT_FALSE(anyLineHas(frame, "other TCP")) << "shown only when there is some";

    // A filter that matched nothing leaves no scrolling behind: the top row is chosen again.
    ViewState narrow;
    for (char32_t c : std::u32string(U"/zz")) {
        press(narrow, frame, {Key::Kind::character, c});
    }
    frame = renderFrame(model, narrow, screen(80, 9));
    press(narrow, frame, {Key::Kind::escape});
    frame = renderFrame(model, narrow, screen(80, 9));
    EXPECT_EQ(narrow.selectedPid, frame.listedPids.front());
}

TEST(FrameTest, AnOpenProcessShowsItsSocketsRatesAndRecentlyClosedOnes) {
    TopModel model = sampleModel();
    ViewState state;
    state.selectedPid = 10;
    state.selectionFollowsProcess = true;
    FrameOptions options;
    options.hostName = [](const std::string& address) -> std::optional<std::string> {
        return address == "::ffff:93.184.216.34" ? std::optional<std::string>("example.net")
                                                 : std::nullopt;
    };
    model.processes[0].connections.push_back(
        makeNetConnection({10, "UDP", "0.0.0.0", 5353, "0.0.0.0", 0, 7}));
    NetConnection quic = makeNetConnection({10, "UDP", "10.0.0.2", 50000, "203.0.113.9", 443, -1,
                                            900, 800, 77, std::string(kMeterSource)});
    quic.rateIn = 3.0e6;
    model.processes[0].connections.push_back(quic);
    Frame frame = renderFrame(model, state, options);
    press(state, frame, {Key::Kind::enter});
    ASSERT_EQ(state.openPid, 10);
    frame = renderFrame(model, state, options);
    // UDP has no byte counters but the meter's, which its row says rather than show no rate.
    for (const char* shown : {"example.net:443", "5.0 MB/s", "[::]:*", "Recently closed",
                              "12 s ago", "0.0.0.0:5353", "not measured", "3.0 MB/s"}) {
        EXPECT_TRUE(anyLineHas(frame, shown)) << shown;
    }
    EXPECT_TRUE(std::any_of(frame.lines.begin(), frame.lines.end(), [](const FrameLine& line) {
        return line.text.find("203.0.113.9:443") != std::string::npos &&
               line.text.find("meter") != std::string::npos;
    })) << "the metered row names its source";

    // Moving scrolls the open process's sockets; End is left to the panel, Home goes back.
    for (const Key::Kind kind : {Key::Kind::down, Key::Kind::pageDown, Key::Kind::end}) {
        press(state, frame, {kind});
    }
    EXPECT_EQ(state.detailScrollTop, 1 + frame.listRows);
    press(state, frame, {Key::Kind::home});
    EXPECT_EQ(state.detailScrollTop, 0u);

    options.showListeningPorts = false;
    options.resolveHostnames = false;
    frame = renderFrame(model, state, options);
    EXPECT_FALSE(anyLineHas(frame, "LISTEN"));
    EXPECT_FALSE(anyLineHas(frame, "example.net"));
    EXPECT_TRUE(anyLineHas(frame, "93.184.216.34:443"));

    press(state, frame, {Key::Kind::escape});
    EXPECT_FALSE(state.openPid);
    // The socket count follows the setting too: the established one and both UDP.
    state.sortKey = SortKey::sockets;
    EXPECT_TRUE(anyLineHas(renderFrame(model, state, options), "     3 "));

    model.readings = 3;
    model.helperAvailable = false;
    EXPECT_TRUE(anyLineHas(renderFrame(model, state, options), "Helper unreachable"));
}

TEST(FrameTest, NamesTheMachineChoseCannotDriveTheTerminalOrSplitARow) {
    std::string hostile = "x";
    for (char c = 1; c < 0x20; ++c) {
        hostile += c;
    }
    for (int c = 0x80; c < 0xA0; ++c) { // C1 as UTF-8, then as a lone byte
        hostile += std::string("\xC2") + static_cast<char>(c) + static_cast<char>(c);
    }
    hostile += "\x7f\x1b]0;PWNED\x07\x1b[2J\r\nfake row\xE2\x80\xAE";
    TopModel model = sampleModel();
    model.processes[0].displayName = model.processes[0].name = hostile;
    model.processes[0].execPath = hostile;
    model.processes[1].unit = hostile;
    model.userNames[1000] = hostile;
    model.interfaces[0].id = hostile;
    model.path.primaryInterfaceID = hostile;
    auto expectSafe = [&](const Frame& frame, size_t width) {
        for (const FrameLine& line : frame.lines) {
            EXPECT_EQ(terminalSafeText(line.text), line.text); // nothing left to escape
            EXPECT_EQ(columnCount(line.text), width) << line.text;
        }
    };
    ViewState state;
    const Frame once = renderFrame(model, state, screen(120, 0)); // as `top --once` prints
    EXPECT_TRUE(anyLineHas(once, "x\\x01\\x02"));
    std::string printed;
    for (const FrameLine& line : once.lines) {
        printed += line.text + "\n";
    }
    // A terminal starts a row at each CR or LF: one per line, so one per process.
    EXPECT_EQ(std::ranges::count_if(printed, [](char c) { return c == '\n' || c == '\r'; }),
              std::ssize(once.lines));
    expectSafe(once, 120);
    expectSafe(renderFrame(model, state, screen(80, 24)), 80);
    state.openPid = 10;
    FrameOptions detail = screen(100, 30);
    detail.hostName = [&](const std::string&) { return std::optional(hostile); };
    expectSafe(renderFrame(model, state, detail), 100);
}

TEST(HostNamesTest, SlowAndFailingResolversNeverHoldTheFrame) {
    auto release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    auto failures = std::make_shared<std::atomic<int>>(0);
    HostNames::Options options;
    options.timeout = 50ms;
    HostNames names(
        [released, failures](const std::string& address) -> std::optional<std::string> {
            if (address == "::ffff:93.184.216.34") {
                released.wait(); // a server that does not answer
                return "example.net";
            }
            ++*failures;
            return std::nullopt;
        },
        options);

    TopModel model = sampleModel();
    model.processes[0].connections.push_back(
        socket(10, "::ffff:10.0.0.77", 22, TCPState::established));
    ViewState state;
    state.openPid = 10;
    FrameOptions frameOptions = screen(100, 30);
    frameOptions.hostName = [&names](const std::string& a) { return names.name(a); };

    auto frame =
        std::async(std::launch::async, [&] { return renderFrame(model, state, frameOptions); });
    ASSERT_EQ(frame.wait_for(5s), std::future_status::ready);
    const Frame first = frame.get();
    EXPECT_TRUE(anyLineHas(first, " 93.184.216.34:443"));
    EXPECT_TRUE(anyLineHas(first, " 10.0.0.77:22"));

    // The one worker is stuck on the first address; after the timeout
    // another takes the other two (the open socket and the closed one), whose
    // failures are then remembered rather than asked again.
    for (int i = 0; i < 500 && failures->load() < 2; ++i) {
        std::this_thread::sleep_for(10ms);
        renderFrame(model, state, frameOptions);
    }
    EXPECT_EQ(failures->load(), 2);
    for (int i = 0; i < 5; ++i) {
        renderFrame(model, state, frameOptions);
    }
    EXPECT_EQ(failures->load(), 2);

    release->set_value();
    for (int i = 0; i < 500 && !names.name("::ffff:93.184.216.34"); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(anyLineHas(renderFrame(model, state, frameOptions), "example.net:443"));
}

} // namespace
} // namespace korvel::top
