#include "companion/export/korvel_metrics.h"
#include "companion/export/textfile_export.h"
#include "tests/companion/engine/manager_fixture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace korvel::testing {
namespace {

// A reader of the text format, strict enough to reject what Prometheus would:
// every sample belongs to a family announced once by HELP and TYPE, names and
// label names are well formed, label values are properly escaped, and no
// series appears twice.
struct Parsed {
    std::map<std::string, std::string> types;
    // series (name plus labels as written) -> value
    std::map<std::string, double> series;
    std::vector<std::map<std::string, std::string>> labelSets;
    std::vector<std::string> errors;
};

Parsed parseExposition(const std::string& text) {
    static const std::regex name("[a-zA-Z_:][a-zA-Z0-9_:]*");
    Parsed out;
    std::set<std::string> helped;
    std::string current;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            std::istringstream words(line.substr(7));
            std::string family, rest;
            words >> family >> rest;
            if (line[2] == 'H' && !helped.insert(family).second) {
                out.errors.push_back("second HELP for " + family);
            }
            if (line[2] == 'T') {
                if (out.types.count(family) || (rest != "counter" && rest != "gauge")) {
                    out.errors.push_back("bad TYPE line: " + line);
                }
                out.types[family] = rest;
                current = family;
            }
            continue;
        }
        const size_t end = line.find_first_of("{ ");
        const std::string metric = line.substr(0, end);
        if (!std::regex_match(metric, name) || metric != current) {
            out.errors.push_back("sample outside its family: " + line);
            continue;
        }
        std::map<std::string, std::string> labels;
        size_t i = end;
        if (line[i] == '{') {
            ++i;
            while (line[i] != '}') {
                const size_t eq = line.find('=', i);
                const std::string label = line.substr(i, eq - i);
                if (!std::regex_match(label, name) || line[eq + 1] != '"') {
                    out.errors.push_back("bad label in: " + line);
                    break;
                }
                std::string value;
                for (i = eq + 2; line[i] != '"'; ++i) {
                    if (line[i] == '\\') {
                        const char next = line[++i];
                        value += next == 'n' ? '\n' : next;
                        if (next != 'n' && next != '\\' && next != '"') {
                            out.errors.push_back("bad escape in: " + line);
                        }
                    } else {
                        value += line[i];
                    }
                }
                labels[label] = value;
                i += line[i + 1] == ',' ? 2 : 1;
            }
            ++i;
        }
        const std::string key = line.substr(0, i);
        if (!out.series.emplace(key, std::stod(line.substr(i + 1))).second) {
            out.errors.push_back("duplicate series: " + key);
        }
        labels["__name__"] = metric;
        out.labelSets.push_back(labels);
    }
    return out;
}

NetProcess process(int32_t pid, std::string name, uint64_t cpuSeconds, uint32_t uid = 1000) {
    NetProcess p;
    p.id = pid;
    p.name = std::move(name);
    p.cpuNS = cpuSeconds * 1'000'000'000;
    p.memBytes = 1 << 20;
    p.uid = uid;
    return p;
}

TEST(PrometheusExport, GroupsAreBoundedEscapedAndWellFormed) {
    std::vector<NetProcess> processes;
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
    NetConnection tcp;
    tcp.proto = TransportProto::tcp6;
    tcp.state = TCPState::timeWait;
    tcp.bytesIn = 10;
    tcp.bytesOut = 20;
    NetConnection udp;
    udp.proto = TransportProto::udp;
    processes.back().connections = {tcp, tcp, udp};
    const std::vector<InterfaceStat> interfaces = {{"eth0", 5, 6, 0, 0}};
    SystemStats system;
    system.memPressureLevel = 40;

    exporter::MetricsInput input;
    input.processes = &processes;
    input.interfaces = &interfaces;
    input.system = &system;
    input.helperUp = true;
    input.userName = [](uint32_t uid) -> std::optional<std::string> {
        return uid == 1000 ? std::optional<std::string>("alice") : std::nullopt;
    };
    const Parsed parsed =
        parseExposition(exporter::renderExposition(exporter::collectKorvelMetrics(input)));
    EXPECT_EQ(parsed.errors, std::vector<std::string>{});

    std::set<std::string> groups;
    double otherCPU = -1;
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
    otherCPU = parsed.series.at("korvel_process_cpu_seconds_total{group=\"other\",user=\"other\"}");
    EXPECT_DOUBLE_EQ(otherCPU, 100 + 101 + 102 + 103 + 104 + 105 + 106);
    EXPECT_EQ(parsed.series.at("korvel_process_sockets{group=\"web.service\",user=\"alice\","
                               "protocol=\"tcp6\",state=\"time_wait\"}"),
              2);
    EXPECT_EQ(parsed.series.at("korvel_process_sockets{group=\"web.service\",user=\"alice\","
                               "protocol=\"udp\",state=\"none\"}"),
              1);
    EXPECT_EQ(parsed.series.at("korvel_process_tcp_bytes_total{group=\"web.service\","
                               "user=\"alice\",direction=\"out\"}"),
              40);
    EXPECT_EQ(parsed.series.at("korvel_processes{group=\"web.service\",user=\"alice\"}"), 2);
    EXPECT_EQ(parsed.series.at("korvel_memory_available_ratio"), 0.4);
    EXPECT_EQ(parsed.series.at("korvel_network_bytes_total{interface=\"eth0\",direction=\"in\"}"),
              5);
    EXPECT_EQ(parsed.series.at("korvel_helper_up"), 1);
}

class TextfileExportTest : public ManagerFixture {};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(TextfileExportTest, TheFileIsReplacedWholeSaysWhenTheHelperIsDownAndGoesWhenSwitchedOff) {
    TempDir dir;
    std::string directory = dir.str();
    TextfileExport textfile([&directory] { return directory; });
    const auto file = dir.path() / TextfileExport::kFileName;
    start();
    HelperProcessData row{42, "server", "/opt/server", 5'000'000'000, 1 << 20};
    row.uid = 0;
    answer(0, reading(1, {row}));
    textfile.publish(*manager);

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "node_exporter runs as another user";
    const Parsed up = parseExposition(readFile(file));
    EXPECT_EQ(up.errors, std::vector<std::string>{});
    EXPECT_EQ(up.series.at("korvel_helper_up"), 1);
    EXPECT_EQ(up.series.count("korvel_process_cpu_seconds_total{group=\"server\",user=\"root\"}"),
              1u);

    if (std::filesystem::exists("/usr/bin/promtool")) {
        const std::string command = "/usr/bin/promtool check metrics < " + file.string() + " 2>&1";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[4096];
        const size_t n = std::fread(buffer, 1, sizeof buffer, pipe);
        EXPECT_EQ(::pclose(pipe), 0) << std::string(buffer, n);
    }

    // A reader polling while the file is rewritten sees whole documents only.
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::string text = readFile(file);
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
    answer(1, reading(2));
    textfile.publish(*manager);
    EXPECT_EQ(parseExposition(readFile(file)).series.at("korvel_helper_up"), 0);

    directory.clear();
    textfile.publish(*manager);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0)
        << "no temporary file left behind";
}

} // namespace
} // namespace korvel::testing
