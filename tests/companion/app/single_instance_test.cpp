#include "companion/program/engine_instance.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvel::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// Runs the built korvel-companion with no display and private XDG
// directories, as a user's login session without a screen would.
class SingleInstanceTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (engine_ > 0) {
            ::kill(engine_, SIGKILL);
            ::waitpid(engine_, nullptr, 0);
        }
        killHelpers(); // those the engine started for this runtime directory
        for (const pid_t bus : buses_) {
            ::kill(bus, SIGTERM); // no child of ours: it forked
        }
    }

    // A session bus daemon of its own, ended with the test; its address.
    // `rules` override the session bus's policy.
    std::string startBus(const std::string& rules = "") {
        const auto config =
            root.write("bus" + std::to_string(buses_.size()) + ".conf",
                       "<busconfig><include>/usr/share/dbus-1/session.conf</include>"
                       "<policy context='mandatory'>" +
                           rules + "</policy></busconfig>");
        const std::string command =
            "dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + config.string();
        gchar* out = nullptr;
        g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
        std::istringstream printed(out != nullptr ? out : "");
        g_free(out);
        std::string address;
        pid_t pid = 0;
        EXPECT_TRUE(printed >> address >> pid) << "dbus-daemon did not start";
        buses_.push_back(pid);
        return address;
    }

    // The engine's standard error goes to the file named by `path`.
    static void logTo(gpointer path) {
        ::dup2(::open(static_cast<const char*>(path), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    }

    std::string made(const char* name) const {
        std::filesystem::create_directories(root.path() / name);
        std::filesystem::permissions(root.path() / name, std::filesystem::perms::owner_all);
        return (root.path() / name).string();
    }

    void startEngine(GSpawnChildSetupFunc setup = nullptr, gpointer data = nullptr) {
        gchar* argv[] = {program_.data(), nullptr};
        GError* error = nullptr;
        ASSERT_TRUE(g_spawn_async(
            nullptr, argv, nullptr,
            static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL), setup,
            data, &engine_, &error))
            << (error ? error->message : "");
        // Serving commands is the last step of its start.
        const auto control = root.path() / "run/qn.Korvel/qn.Korvel.companion.control";
        for (int i = 0; i < 400 && !std::filesystem::exists(control); ++i) {
            std::this_thread::sleep_for(25ms);
        }
        ASSERT_TRUE(std::filesystem::exists(control)) << "the engine did not come up";
    }

    // The exit code of one more start, and all it wrote.
    std::pair<int, std::string> run(const std::string& argument = "") const {
        FILE* pipe = ::popen((program_ + " " + argument + " 2>&1").c_str(), "r");
        std::string output;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            output.append(buffer, n);
        }
        const int status = ::pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    }

    // The engine's exit code once it ends; -1 when it does not end cleanly.
    int waitForEngine() {
        for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(25ms)) {
            int status = 0;
            if (::waitpid(engine_, &status, WNOHANG) == engine_) {
                engine_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

    // The running engine's program, and whether it has the toolkit loaded.
    std::pair<std::string, bool> engineKind() const {
        const std::string proc = "/proc/" + std::to_string(engine_);
        std::error_code error;
        return {std::filesystem::read_symlink(proc + "/exe", error).filename(),
                root.read(proc + "/maps").find("libgtk-4") != std::string::npos};
    }

    TempDir root;
    const std::string display_ = g_getenv("DISPLAY") != nullptr ? g_getenv("DISPLAY") : "";
    ScopedEnv noDisplay{"DISPLAY", std::nullopt}, noWayland{"WAYLAND_DISPLAY", std::nullopt},
        noBus{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", made("run")}, config{"XDG_CONFIG_HOME", made("config")},
        data{"XDG_DATA_HOME", made("data")}, home{"HOME", made("home")};
    std::string program_ = std::string(KORVEL_TEST_BINARY_DIR) + "/korvel-companion";
    GPid engine_ = 0;
    std::vector<pid_t> buses_;
};

TEST_F(SingleInstanceTest, ASecondStartRunsNoSecondEngine) {
    EXPECT_EQ(run("--window").first, 2) << "no display: no window and no engine";
    startEngine();

    EXPECT_EQ(run(), std::pair(0, std::string(kAlreadyRunningMessage) + "\n"));

    // The settings command reaches the running engine, which has no screen.
    const auto [status, output] = run("--settings");
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find("no display"), std::string::npos) << output;
    EXPECT_EQ(run("--window").first, 2);

    EXPECT_EQ(engineKind(), std::pair("korvel-companion"s, false));

    // Without a display the launch still registered the autostart entry.
    EXPECT_TRUE(
        std::filesystem::exists(root.path() / "config/autostart/qn.Korvel.companion.desktop"));

    // SIGTERM ends it cleanly, and then a start is the engine again.
    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);
    startEngine();
    EXPECT_EQ(run().second, std::string(kAlreadyRunningMessage) + "\n");
}

// Detached, the engine outlives the signals it has no use for, hang-up
// included, and goes on refreshing; in the foreground of its terminal, a
// hang-up ends it as SIGTERM does.
TEST_F(SingleInstanceTest, EngineRunsOnThroughUnusedSignalsButNotItsTerminalsHangup) {
    root.write("config/qn.Korvel.companion/defaults.json", R"({"autoRefreshInterval":1})");
    startEngine([](gpointer) { ::setsid(); });
    const auto snapshot = root.path() / "run/qn.Korvel.shared/Advanced Snapshot/latest.json";
    const auto writtenAfter = [&](std::filesystem::file_time_type since) {
        std::error_code absent;
        for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(25ms)) {
            if (std::filesystem::last_write_time(snapshot, absent) > since && !absent) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(writtenAfter(std::filesystem::file_time_type::min()));
    for (int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGHUP}) {
        ::kill(engine_, signal);
    }
    EXPECT_TRUE(writtenAfter(std::filesystem::last_write_time(snapshot)));
    ASSERT_EQ(::waitpid(engine_, nullptr, WNOHANG), 0) << "the engine died of a signal";
    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);

    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    // A session leader opening a terminal takes it as its controlling one.
    startEngine(
        [](gpointer name) {
            ::setsid();
            ::close(::open(static_cast<const char*>(name), O_RDWR));
        },
        ::ptsname(terminal));
    ::kill(engine_, SIGHUP);
    EXPECT_EQ(waitForEngine(), 0);
    EXPECT_FALSE(
        std::filesystem::exists(root.path() / "run/qn.Korvel/qn.Korvel.companion.control"));
    ::close(terminal);
}

TEST_F(SingleInstanceTest, WithADisplayTheWindowProgramTakesOverTheClaim) {
    if (display_.empty()) {
        GTEST_SKIP() << "no display";
    }
    ::setenv("DISPLAY", display_.c_str(), 1);
    // No session bus: GLib would otherwise launch one that outlives the test.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/korvel-test-bus", 1);
    // An accessibility bus all the same, as a desktop names one on its
    // screen. No registry answers there, which GTK may say, but no call may
    // go out on a null path.
    ScopedEnv a11y{"AT_SPI_BUS_ADDRESS", startBus()}, a11yOn{"GTK_A11Y", std::nullopt};
    std::string log = (root.path() / "engine.log").string();
    startEngine(logTo, log.data());
    EXPECT_EQ(engineKind(), std::pair("korvel-companion-gtk"s, true));

    EXPECT_EQ(run(), std::pair(0, std::string(kAlreadyRunningMessage) + "\n"));
    EXPECT_EQ(run("--settings").first, 0);
    EXPECT_EQ(run("--window").first, 0);

    // The autostart entry starts the public program, not the window program.
    const std::string text = root.read("config/autostart/qn.Korvel.companion.desktop");
    EXPECT_NE(text.find("Exec=" + program_ + "\n"), std::string::npos) << text;

    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);
    EXPECT_EQ(root.read(log).find("GLib-GIO-CRITICAL"), std::string::npos) << root.read(log);

    // A session bus that will not give the name: the windows run without it
    // and say so once.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", startBus("<deny own='qn.Korvel.companion'/>").c_str(), 1);
    startEngine(logTo, log.data());
    EXPECT_EQ(engineKind(), std::pair("korvel-companion-gtk"s, true));
    const std::string said = root.read(log);
    EXPECT_NE(said.find("refused the name qn.Korvel.companion (GDBus.Error:"
                        "org.freedesktop.DBus.Error.AccessDenied"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("refused"), said.rfind("refused")) << said;
    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);
    // A display that cannot be opened sends the start back to the public
    // program, which runs the engine without the toolkit.
    ::setenv("DISPLAY", ":4093", 1);
    startEngine();
    EXPECT_EQ(engineKind(), std::pair("korvel-companion"s, false));
}

} // namespace
} // namespace korvel::testing
