#include "companion/link/advanced_snapshot.h"
#include "platform/log/report_line.h"
#include "shared/helper_response.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace korvel {
namespace {

namespace fs = std::filesystem;

// Processes and sockets of varied shape; the figures exercise every field.
HelperResponse reading(size_t processes, size_t connections) {
    HelperResponse response;
    for (size_t i = 0; i < processes; ++i) {
        auto path = i % 3 ? std::optional("/opt/app/bin/" + std::to_string(i)) : std::nullopt;
        response.processes.push_back({static_cast<int32_t>(i + 1), "process " + std::to_string(i),
                                      path, i * 1000003, i * 4096});
    }
    for (size_t i = 0; i < connections; ++i) {
        response.connections.push_back({static_cast<int32_t>(i % 50 + 1), i % 2 ? "UDP6" : "TCP",
                                        "192.168.1." + std::to_string(i % 250), 443,
                                        "2001:db8::" + std::to_string(i), static_cast<uint16_t>(i),
                                        i % 2 ? -1 : 4});
    }
    response.interfaces = {{"eth0", 123456789, 987654321}, {"wlan0", 4294967295u, 0}};
    response.timestamp = 756432123.25;
    response.totalRam = 17179869184u;
    response.memPressureLevel = 63;
    response.gpuUsagePercent = 12.5;
    return response;
}

std::optional<std::string> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}

class AdvancedSnapshotTest : public ::testing::Test {
protected:
    AdvancedSnapshotTest() {
        platform::log::exchangeReportLineSink([this](const std::string& message) {
            std::lock_guard lock(mutex);
            lines.push_back(message);
        });
    }
    ~AdvancedSnapshotTest() override { platform::log::exchangeReportLineSink({}); }

    void SetUp() override {
        for (const char* folder : {"realhome", "run", "scratch"}) {
            fs::create_directory(dir.path() / folder);
            fs::permissions(dir.path() / folder, fs::perms::owner_all);
        }
        fs::create_directory_symlink("realhome", dir.path() / "home"); // a home may be a link
        // Failures are told once until a write succeeds, process-wide: one
        // success elsewhere, so that what a test before left does not count.
        testing::ScopedEnv scratch{"XDG_RUNTIME_DIR", dir.str() + "/scratch"};
        writeAdvancedSnapshot(reading(1, 1));
        std::lock_guard lock(mutex);
        lines.clear();
    }

    std::vector<std::string> logged() {
        std::lock_guard lock(mutex);
        return lines;
    }

    testing::TempDir dir;
    testing::ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.str() + "/run"};
    testing::ScopedEnv home{"HOME", dir.str() + "/home"};
    testing::ScopedEnv state{"XDG_STATE_HOME", std::nullopt};
    const fs::path inContainer = dir.path() / "run/qn.Korvel.shared/Advanced Snapshot/latest.json";
    const fs::path inHome = dir.path() / "home/.local/state/korvel/Advanced Snapshot/latest.json";
    std::mutex mutex;
    std::vector<std::string> lines;
};

TEST_F(AdvancedSnapshotTest, LivesInTheGroupContainerOrUnderHomeDecodesBackAndIsRemovable) {
    const auto original = reading(40, 25);
    ASSERT_EQ(advancedSnapshotURL(), inContainer);
    removeAdvancedSnapshot(); // nothing there yet, and nothing is made
    EXPECT_FALSE(fs::exists(inContainer.parent_path().parent_path()));
    writeAdvancedSnapshot(original);
    EXPECT_EQ(readFile(inContainer), encodeHelperResponse(original))
        << "the document, nothing added";

    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(advancedSnapshotURL(), inHome);
    writeAdvancedSnapshot(original);
    EXPECT_EQ(readFile(inHome), encodeHelperResponse(original));

    // A reading that came as a document is written as that document.
    auto received = original;
    received.source.text = std::make_shared<const std::string>(" " + *readFile(inHome));
    writeAdvancedSnapshot(received);
    EXPECT_EQ(readFile(inHome), *received.source.text);

    ::setenv("XDG_RUNTIME_DIR", "relative/run", 1);
    EXPECT_EQ(advancedSnapshotURL(), inHome) << "a relative runtime directory is no container";

    // Removal deletes only the file, and quietly when there is none.
    removeAdvancedSnapshot();
    EXPECT_FALSE(fs::exists(inHome));
    EXPECT_TRUE(fs::is_directory(inHome.parent_path()));
    removeAdvancedSnapshot();
    EXPECT_TRUE(fs::exists(inContainer));
    EXPECT_TRUE(logged().empty());
}

TEST_F(AdvancedSnapshotTest, EveryFailureLogsOneLineAndKeepsThePreviousFile) {
    const auto previous = reading(3, 2);
    writeAdvancedSnapshot(previous);
    const auto expectOneLineAndPrevious = [&](const char* what) {
        const auto lines = logged();
        ASSERT_EQ(lines.size(), 1u) << what;
        EXPECT_EQ(lines[0].rfind("Korvel: failed to save external advanced snapshot: ", 0), 0u)
            << lines[0];
        EXPECT_GT(lines[0].size(), 51u) << "the failure is described";
        EXPECT_EQ(readFile(inContainer), encodeHelperResponse(previous)) << what;
        std::lock_guard lock(mutex);
        this->lines.clear();
    };

    // A value JSON cannot carry.
    auto nonFinite = reading(5, 0);
    nonFinite.gpuTemperatureCelsius = std::nan("");
    writeAdvancedSnapshot(nonFinite);
    expectOneLineAndPrevious("not encodable");

    // The disk refuses the data halfway (a file-size limit stands in for a full
    // disk; it binds even for root), on every refresh. Without SIGXFSZ ignored
    // it would kill us.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    ::getrlimit(RLIMIT_FSIZE, &oldLimit);
    const rlimit small{2048, oldLimit.rlim_max};
    const auto writeRefused = [&] {
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        for (int i = 0; i < 5; ++i) {
            writeAdvancedSnapshot(reading(200, 200));
        }
        ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    };
    writeRefused();
    expectOneLineAndPrevious("write refused");

    // The rename fails: a directory stands where the file goes.
    fs::remove(inContainer);
    fs::create_directories(inContainer / "x");
    writeAdvancedSnapshot(previous);
    EXPECT_EQ(logged().size(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(inContainer.parent_path()), {}), 1)
        << "no temporary file is left behind";
    fs::remove_all(inContainer);
    {
        std::lock_guard lock(mutex);
        lines.clear();
    }

    // Said once when it clears, and a failure after that is told again.
    writeAdvancedSnapshot(previous);
    writeAdvancedSnapshot(previous);
    EXPECT_EQ(logged(),
              std::vector<std::string>{"Korvel: the external advanced snapshot is saved again"});
    writeRefused();
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(logged().size(), 2u);
}

TEST_F(AdvancedSnapshotTest, AReaderNeverSeesAPartialDocument) {
    // Two documents of very different shape and size, so a torn read of one
    // over the other cannot decode.
    const auto wide = reading(6000, 0);
    const auto deep = reading(10, 8000);
    writeAdvancedSnapshot(wide);

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done) {
            const auto text = readFile(inContainer);
            if (!text) {
                ++torn; // the file must never be missing between two versions
                continue;
            }
            const auto decoded = decodeHelperResponse(*text);
            if (!decoded || (*decoded != wide && *decoded != deep)) {
                ++torn;
            }
            ++reads;
        }
    });
    for (int i = 0; i < 60 || reads < 30; ++i) {
        writeAdvancedSnapshot(i % 2 ? wide : deep);
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_TRUE(logged().empty());
}

TEST_F(AdvancedSnapshotTest, DirectoriesOthersCouldPlantAreRefusedAndHomeTakesOver) {
    const auto original = reading(2, 1);
    const fs::path run = dir.path() / "run", container = run / "qn.Korvel.shared";
    const fs::path elsewhere = dir.path() / "elsewhere";
    fs::create_directory(elsewhere);
    fs::permissions(elsewhere, fs::perms::all);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(elsewhere.c_str(), 65534, 65534), 0);
    }
    const auto expectHome = [&](const char* what) {
        EXPECT_EQ(advancedSnapshotURL(), inHome) << what;
        writeAdvancedSnapshot(original);
        EXPECT_EQ(readFile(inHome), encodeHelperResponse(original)) << what;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << what;
        fs::remove(inHome);
        fs::remove_all(container); // a link itself, never its target
    };

    fs::create_directory_symlink(elsewhere, container);
    expectHome("the container is a link to someone else's directory");
    fs::create_directories(container);
    fs::create_directory_symlink(elsewhere, container / "Advanced Snapshot");
    expectHome("a directory inside it is a link");
    if (root) {
        fs::create_directory(container);
        ASSERT_EQ(::chown(container.c_str(), 65534, 65534), 0);
        expectHome("the container belongs to another user");
    }

    fs::permissions(run, fs::perms::all);
    expectHome("the runtime directory is shared");
    fs::permissions(run, fs::perms::owner_all);
    EXPECT_TRUE(logged().empty());

    // A link planted as the file itself is replaced, its target untouched.
    writeAdvancedSnapshot(original);
    fs::remove(inContainer);
    const auto target = dir.write("elsewhere/theirs", "theirs");
    fs::create_symlink(target, inContainer);
    writeAdvancedSnapshot(original);
    EXPECT_FALSE(fs::is_symlink(inContainer));
    EXPECT_EQ(readFile(target), "theirs");

    // Below home no step is followed, not even a link to a private directory of ours.
    ::unsetenv("XDG_RUNTIME_DIR");
    fs::remove_all(dir.path() / "home/.local");
    fs::create_directory_symlink(run, dir.path() / "home/.local");
    writeAdvancedSnapshot(original);
    EXPECT_FALSE(fs::exists(run / "state"));
    EXPECT_EQ(logged().size(), 1u);

    // With no usable runtime directory and no home, the root never stands in.
    testing::ScopedEnv noHome{"HOME", "/"};
    ASSERT_EQ(advancedSnapshotURL(), std::nullopt);
    writeAdvancedSnapshot(original);
    EXPECT_EQ(logged().size(), 2u);
}

TEST_F(AdvancedSnapshotTest, LeftoversOfInterruptedWritesAreRemoved) {
    const auto stale = dir.write("run/qn.Korvel.shared/Advanced Snapshot/latest.json.aB3xY9", "{");
    const auto fresh = dir.write("run/qn.Korvel.shared/Advanced Snapshot/latest.json.Zz0000", "{");
    const auto other = dir.write("run/qn.Korvel.shared/Advanced Snapshot/latest.json.keep", "{");
    const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::seconds(10));
    fs::last_write_time(other, hourAgo);

    removeAdvancedSnapshot();
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_FALSE(fs::exists(fresh)) << "left by an engine killed a moment ago";
    EXPECT_TRUE(fs::exists(other)) << "not a name our writes use";
}

} // namespace
} // namespace korvel
