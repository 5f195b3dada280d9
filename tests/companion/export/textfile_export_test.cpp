#include "companion/export/korvel_metrics.h"
#include "companion/export/textfile_export.h"
#include "platform/log/report_line.h"
#include "tests/companion/engine/manager_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace korvel::testing {
namespace {

// A reader of the text format, strict enough to reject what Prometheus would:
// HELP and TYPE once per family, every sample in the family last typed, names
// and label names well formed, label values properly escaped, no series twice.
struct Parsed {
    std::map<std::string, std::string> types;
    std::map<std::string, double> series; // name plus labels as written -> value
    std::vector<std::map<std::string, std::string>> labelSets;
    std::vector<std::string> errors;
};

Parsed parseExposition(const std::string& text) {
    static const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+))");
    static const std::regex label(
        R"re(([a-zA-Z_:][a-zA-Z0-9_:]*)="((?:[^"\\]|\\[\\"n])*)"(?:,|$))re");
    Parsed out;
    std::set<std::string> helped;
    std::string current, line;
    std::istringstream lines(text);
    for (std::smatch m; std::getline(lines, line);) {
        if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) {
            std::istringstream words(line.substr(7));
            std::string family, type;
            words >> family >> type;
            if (line[2] == 'H' && !helped.insert(family).second) {
                out.errors.push_back("second HELP for " + family);
            } else if (line[2] == 'T') {
                if (out.types.count(family) || (type != "counter" && type != "gauge")) {
                    out.errors.push_back("bad TYPE line: " + line);
                }
                out.types[current = family] = type;
            }
            continue;
        }
        if (!std::regex_match(line, m, sample) || m[1] != current) {
            out.errors.push_back("sample outside its family: " + line);
            continue;
        }
        std::map<std::string, std::string> labels{{"__name__", m[1]}};
        for (std::string rest = m[2]; !rest.empty();) {
            std::smatch l;
            if (!std::regex_search(rest, l, label, std::regex_constants::match_continuous)) {
                out.errors.push_back("bad label in: " + line);
                break;
            }
            const std::string raw = l[2];
            std::string& value = labels[l[1]];
            for (size_t i = 0; i < raw.size(); ++i) {
                value += raw[i] == '\\' && raw[++i] == 'n' ? '\n' : raw[i];
            }
            rest = l.suffix();
        }
        const std::string key = line.substr(0, static_cast<size_t>(m.position(3)) - 1);
        if (!out.series.emplace(key, std::stod(m[3])).second) {
            out.errors.push_back("duplicate series: " + key);
        }
        out.labelSets.push_back(labels);
    }
    return out;
}

// A process that used cpuSeconds since the frame before.
NetProcess process(int32_t pid, std::string name, uint64_t cpuSeconds) {
    NetProcess p;
    p.id = pid;
    p.name = std::move(name);
    p.cpuUsedNS = cpuSeconds * 1'000'000'000;
    p.memBytes = 1 << 20;
    p.uid = 1000;
    return p;
}

TEST(PrometheusExport, GroupsAreBoundedEscapedAndWellFormed) {
    ReadingFrame frame;
    std::vector<NetProcess>& processes = frame.processes;
    for (int i = 0; i < 25; ++i) {
        processes.push_back(process(100 + i, "tool" + std::to_string(i), 100 + i));
    }
    const std::string odd = "we\"ird\\app\nname";
    processes.push_back(process(7, "x", 1000));
    processes.back().appId = odd;
    // Two processes of one unit make one group; the unit wins over the name.
    processes.push_back(process(8, "a", 500));
    processes.back().unit = "web.service";
    processes.push_back(process(9, "b", 400));
    processes.back().unit = "web.service";
    NetConnection tcp, udp;
    tcp.proto = TransportProto::tcp6;
    tcp.state = TCPState::timeWait;
    tcp.bytesIn = 10;
    tcp.bytesOut = 20;
    udp.proto = TransportProto::udp;
    processes.back().connections = {tcp, tcp, udp};
    processes.back().bytesUsed = {20, 30};
    processes.back().udpBytesUsed = {5, 12}; // the kernel meter's part
    processes.back().gpuUsed = {{"render", 1'500'000'000}, {"video", 0}};
    processes.back().diskWriteUsed = 4096;
    // One that ended since, with its last socket's bytes: its group keeps them.
    frame.endedProcesses.push_back(process(10, "c", 0));
    frame.endedProcesses.back().unit = "web.service";
    frame.endedProcesses.back().bytesUsed = {0, 10};
    frame.interfaces = {{"eth0", 5, 6, 0, 0}};
    frame.system.memPressureLevel = 40;
    frame.helperFull = true;
    frame.otherTcpTotal = {1500, 2500};

    exporter::MetricsInput input;
    input.frame = &frame;
    exporter::ProcessGroupCounters counters;
    input.userName = [](uint32_t uid) -> std::optional<std::string> {
        return uid == 1000 ? std::optional<std::string>("alice") : std::nullopt;
    };
    const Parsed parsed = parseExposition(
        exporter::renderExposition(exporter::collectKorvelMetrics(input, counters)));
    EXPECT_EQ(parsed.errors, std::vector<std::string>{});

    std::set<std::string> groups;
    for (const auto& labels : parsed.labelSets) {
        if (labels.at("__name__") == "korvel_process_cpu_seconds_total") {
            groups.insert(labels.at("group"));
        }
    }
    for (const auto& [name, type] : parsed.types) {
        EXPECT_EQ(type == "counter", name.ends_with("_total")) << name;
    }
    EXPECT_EQ(groups.size(), exporter::kMaxProcessGroups + 1);
    EXPECT_TRUE(groups.count(odd) && groups.count("web.service") && groups.count("other"));
    // 27 groups: the seven with the least CPU (tool0..tool6) add up in "other".
    const std::string web = "{group=\"web.service\",user=\"alice\"";
    for (const auto& [series, value] : std::vector<std::pair<std::string, double>>{
             {"korvel_process_cpu_seconds_total{group=\"other\",user=\"other\"}",
              100 + 101 + 102 + 103 + 104 + 105 + 106},
             {"korvel_process_sockets" + web + ",protocol=\"tcp6\",state=\"time_wait\"}", 2},
             {"korvel_process_sockets" + web + ",protocol=\"udp\",state=\"none\"}", 1},
             {"korvel_process_tcp_bytes_total" + web + ",direction=\"out\"}", 28},
             {"korvel_process_udp_bytes_total" + web + ",direction=\"out\"}", 12},
             {"korvel_process_gpu_seconds_total" + web + ",engine=\"render\"}", 1.5},
             {"korvel_process_disk_bytes_total" + web + ",direction=\"write\"}", 4096},
             {"korvel_process_disk_bytes_total" + web + ",direction=\"read\"}", 0},
             {"korvel_processes" + web + "}", 2},
             {"korvel_process_resident_memory_bytes" + web + "}", 2 << 20},
             {"korvel_other_tcp_bytes_total{direction=\"out\"}", 2500},
             {"korvel_memory_available_ratio", 0.4},
             {"korvel_network_bytes_total{interface=\"eth0\",direction=\"in\"}", 5},
             {"korvel_network_bytes_total{interface=\"eth0\",direction=\"out\"}", 6},
             {"korvel_helper_up", 1}}) {
        EXPECT_DOUBLE_EQ(parsed.series.at(series), value) << series;
    }
    processes[0].execPath = "tool"; // a name without a folder is the group as it is
    EXPECT_EQ(exporter::processGroupName(processes[0]), "tool");
    frame.helperFull = false; // a reading without the helper's processes is not whole
    for (const auto& family : exporter::collectKorvelMetrics(input, counters)) {
        EXPECT_FALSE(family.name.starts_with("korvel_process")) << family.name;
    }
    // A helper that says a group moved nearly 2^64 bytes twice: its counter
    // stays at the top instead of wrapping round to a small number.
    exporter::ProcessGroupCounters sums;
    ReadingFrame huge;
    huge.processes = {process(7, "x", 1)};
    huge.processes[0].bytesUsed.bytesOut = UINT64_MAX - 1;
    const auto group = [](const NetProcess&) { return exporter::GroupKey{"x", "u"}; };
    sums.fold(huge, group, 0);
    EXPECT_EQ(sums.fold(huge, group, 1).at({"x", "u"}).tcpBytesOut, UINT64_MAX);
}

TEST(PrometheusExport, ProcessCountersNeverFallAndAddUpWhileProcessesEndAndGroupsMove) {
    // 60 groups, each phase of 12 readings a minute apart a different 25 of
    // them busy: groups enter and leave the top 20, idle ones give up their
    // series; processes end with their last sockets' bytes and others start.
    constexpr uint64_t kSecond = 1'000'000'000;
    std::mt19937 random(24);
    const auto upTo = [&](uint64_t most) { return random() % (most + 1); };
    std::vector<NetProcess> live;
    int32_t nextPid = 100;
    const auto begin = [&](uint64_t group) {
        NetProcess p = process(nextPid++, "worker", 0);
        p.unit = "g" + std::to_string(group) + ".service";
        p.uid = group % 7 ? 1000 : 0;
        live.push_back(std::move(p));
    };
    for (uint64_t group = 0; group < 120; ++group) {
        begin(group % 60);
    }
    exporter::ProcessGroupCounters counters;
    std::map<std::string, double> highest; // each counter series, at the most it ever said
    std::set<std::string> previous, went, cameBack;
    std::array<double, 3> fed{}; // CPU seconds, bytes in, bytes out
    const auto feed = [&](NetProcess& p, uint64_t cpuSeconds, uint64_t in, uint64_t out) {
        p.cpuUsedNS += cpuSeconds * kSecond;
        p.bytesUsed += {in, out};
        fed[0] += static_cast<double>(cpuSeconds);
        fed[1] += static_cast<double>(in);
        fed[2] += static_cast<double>(out);
    };
    for (int reading = 0; reading < 60; ++reading) {
        const uint64_t firstBusy = static_cast<uint64_t>(reading / 12 * 20);
        ReadingFrame frame;
        frame.helperFull = true;
        frame.time = 7e8 + reading * 60;
        for (NetProcess& p : live) {
            p.cpuUsedNS = 0;
            p.bytesUsed = {};
            if ((std::stoul(p.unit->substr(1)) + 60 - firstBusy) % 60 < 25) {
                feed(p, upTo(50), upTo(5000), upTo(5000));
            }
        }
        for (int i = 0; i < 4; ++i) {
            const auto ended = live.begin() + static_cast<long>(random() % live.size());
            feed(*ended, 0, upTo(500), upTo(500));
            frame.endedProcesses.push_back(*ended);
            live.erase(ended);
            begin((firstBusy + upTo(24)) % 60);
        }
        frame.processes = live;
        exporter::MetricsInput input;
        input.frame = &frame;
        const Parsed parsed = parseExposition(
            exporter::renderExposition(exporter::collectKorvelMetrics(input, counters)));
        ASSERT_EQ(parsed.errors, std::vector<std::string>{});
        std::set<std::string> present;
        double processes = 0;
        for (const auto& [series, value] : parsed.series) {
            if (series.starts_with("korvel_processes{")) {
                processes += value;
            }
            if (!series.starts_with("korvel_process_cpu") &&
                !series.starts_with("korvel_process_tcp")) {
                continue;
            }
            EXPECT_GE(value, highest[series]) << series << " fell at reading " << reading;
            highest[series] = std::max(value, highest[series]);
            present.insert(series);
            if (!previous.count(series) && went.count(series)) {
                cameBack.insert(series);
            }
        }
        std::set_difference(previous.begin(), previous.end(), present.begin(), present.end(),
                            std::inserter(went, went.end()));
        previous = present;
        EXPECT_EQ(processes, static_cast<double>(live.size())) << "gauges tell what runs now";
        EXPECT_LE(present.size(), 3 * (exporter::kMaxSeriesGroups + 1));

        // Every series' last word, those gone included, adds up to all used.
        std::array<double, 3> sums{};
        for (const auto& [series, value] : highest) {
            sums[series.find("\"in\"") != std::string::npos    ? 1
                 : series.find("\"out\"") != std::string::npos ? 2
                                                               : 0] += value;
        }
        ASSERT_EQ(sums, fed) << "at reading " << reading;
    }
    EXPECT_GT(went.size(), 0u);
    EXPECT_GT(cameBack.size(), 0u) << "a group back in the top 20 goes on from where it stopped";
}

class TextfileExportTest : public ManagerFixture {
protected:
    TextfileExportTest() {
        platform::log::exchangeReportLineSink(
            [this](const std::string& line) { logged.push_back(line); });
    }
    ~TextfileExportTest() override { platform::log::exchangeReportLineSink({}); }

    static std::set<std::string> namesIn(const std::filesystem::path& directory) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            names.insert(entry.path().filename());
        }
        return names;
    }

    std::vector<std::string> logged;
};

TEST_F(TextfileExportTest, TheFileIsReplacedWholeSaysWhenTheHelperIsDownAndGoesWhenSwitchedOff) {
    TempDir dir;
    std::string directory = dir.str();
    TextfileExport textfile([&directory] { return directory; });
    const auto file = dir.path() / TextfileExport::kFileName;
    start();
    HelperProcessData row{42, "server", "/opt/server", 5'000'000'000, 1 << 20};
    row.uid = 0;
    answer(0, reading(1, {row}));
    row.cpuNS *= 2; // five seconds used since
    manager->refresh();
    answer(requests.size() - 1, reading(2, {row}));
    textfile.publish(*manager);

    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0644))
        << "node_exporter runs as another user";
    const Parsed up = parseExposition(dir.read(file));
    EXPECT_EQ(up.errors, std::vector<std::string>{});
    EXPECT_EQ(up.series.at("korvel_helper_up"), 1);
    EXPECT_EQ(up.series.count("korvel_process_cpu_seconds_total{group=\"server\",user=\"root\"}"),
              1u);

    if (std::filesystem::exists("/usr/bin/promtool")) { // its complaints go to the test's log
        EXPECT_EQ(std::system(("/usr/bin/promtool check metrics < " + file.string()).c_str()), 0);
    }

    // A reader polling while the file is rewritten sees whole documents only.
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::string text = dir.read(file);
            if (text.empty() || text.back() != '\n' || !parseExposition(text).errors.empty()) {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 100; ++i) {
        textfile.publish(*manager);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);

    // No processes and no sockets: the helper gave nothing, and the file says so.
    dispatch.advance(KorvelManager::kFirstStartupRefreshDelay);
    answer(requests.size() - 1, reading(3));
    textfile.publish(*manager);
    EXPECT_EQ(parseExposition(dir.read(file)).series.at("korvel_helper_up"), 0);

    directory.clear();
    textfile.publish(*manager);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0)
        << "no temporary file left behind";
}

TEST(PrometheusExposition, HelpEscapesNoQuotesAndInfinitiesAreSigned) {
    const double inf = std::numeric_limits<double>::infinity();
    // Whole numbers read as integers, up to where digits would run long.
    EXPECT_EQ(exporter::renderExposition(
                  {{"a",
                    "a \"b\"\\\n",
                    "gauge",
                    {{{}, inf}, {{{"k", "\""}}, -inf}, {{}, 2.4e8}, {{}, 1e300}, {{}, 1, 1.5}}}}),
              "# HELP a a \"b\"\\\\\\n\n# TYPE a gauge\na +Inf\na{k=\"\\\"\"} -Inf\n"
              "a 240000000\na 1e+300\na 1 1500\n");
    // OpenMetrics escapes quotes in HELP too, names a counter without _total,
    // and gives a UNIT line only to a family with a unit.
    EXPECT_EQ(exporter::renderOpenMetrics(
                  {{"b_seconds_total", "\"", "counter", {{{{"k", "a\\b\n"}}, 2.5}}, "seconds"},
                   {"c", "", "gauge", {}},
                   {"d", "", "gauge", {{{}, 1}, {{}, 2, 1.7e9}}}}),
              "# HELP b_seconds \\\"\n# TYPE b_seconds counter\n# UNIT b_seconds seconds\n"
              "b_seconds_total{k=\"a\\\\b\\n\"} 2.5\n# HELP d \n# TYPE d gauge\nd 1\n"
              "d 2 1700000000\n# EOF\n");
}

TEST_F(TextfileExportTest, OnlyARealDirectoryOfOursIsWrittenFailuresAreToldOnceLeftoversGo) {
    namespace fs = std::filesystem;
    TempDir dir;
    const fs::path real = dir.path() / "export", moved = dir.path() / "moved";
    const auto theirs = dir.write("elsewhere/korvel.prom", "theirs");
    std::string directory = real.string();
    TextfileExport textfile([&directory] { return directory; });
    start();
    textfile.publish(*manager); // not there yet
    // Left by an engine killed while writing, however recent; and a look-alike.
    dir.write("export/korvel.prom.aB3xY9", "#");
    dir.write("export/korvel.prom.keep", "#");
    fs::permissions(real, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    textfile.publish(*manager);
    EXPECT_EQ(namesIn(real), (std::set<std::string>{"korvel.prom", "korvel.prom.keep"}));
    ASSERT_EQ(logged.size(), 2u) << "missing, then written again";
    logged.clear();
    dir.write("export/korvel.prom.zZ9yX8", "#"); // swept once, not at every refresh
    textfile.publish(*manager);
    EXPECT_TRUE(fs::exists(real / "korvel.prom.zZ9yX8"));

    // The directory swapped for a link while the engine runs, then switched off.
    fs::rename(real, moved);
    fs::create_directory_symlink(theirs.parent_path(), real);
    textfile.publish(*manager);
    textfile.publish(*manager);
    directory.clear();
    textfile.publish(*manager);
    EXPECT_EQ(namesIn(theirs.parent_path()), std::set<std::string>{"korvel.prom"});
    EXPECT_EQ(dir.read(theirs), "theirs") << "neither written nor removed through the link";
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("export is not a directory (a link?)"), std::string::npos)
        << logged[0];

    fs::remove(real);
    fs::rename(moved, real);
    directory = real.string();
    textfile.publish(*manager);
    textfile.publish(*manager);
    EXPECT_EQ(logged, (std::vector<std::string>{
                          logged[0], "Korvel: the Prometheus textfile is written again"}));
    EXPECT_TRUE(fs::exists(real / TextfileExport::kFileName));

    if (::geteuid() == 0) { // a root engine writes only where root owns
        fs::remove(real / TextfileExport::kFileName);
        ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
        textfile.publish(*manager);
        EXPECT_FALSE(fs::exists(real / TextfileExport::kFileName));
        EXPECT_EQ(logged.size(), 3u);
    }
}

} // namespace
} // namespace korvel::testing
