#include "companion/cli/engine_instance.h"
#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace korvel::testing {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

// Runs the built korvel-companion with no display and private XDG
// directories, as a user's login session without a screen would.
class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        env_ = g_get_environ();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            env_ = g_environ_unsetenv(env_, name);
        }
        for (const auto& [name, dir] : {std::pair{"XDG_RUNTIME_DIR", "run"},
                                        {"XDG_CONFIG_HOME", "config"},
                                        {"XDG_DATA_HOME", "data"},
                                        {"HOME", "home"}}) {
            std::filesystem::create_directories(root.path() / dir);
            env_ = g_environ_setenv(env_, name, (root.path() / dir).c_str(), TRUE);
        }
        std::filesystem::permissions(root.path() / "run", std::filesystem::perms::owner_all);
    }

    void TearDown() override {
        if (engine_ > 0) {
            ::kill(engine_, SIGKILL);
            ::waitpid(engine_, nullptr, 0);
        }
        // Helpers the engine started for this runtime directory.
        ScopedEnv runtime("XDG_RUNTIME_DIR", (root.path() / "run").string());
        killHelpers();
        g_strfreev(env_);
    }

    void startEngine() {
        gchar* argv[] = {program_.data(), nullptr};
        GError* error = nullptr;
        ASSERT_TRUE(g_spawn_async(
            nullptr, argv, env_,
            static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL),
            nullptr, nullptr, &engine_, &error))
            << (error ? error->message : "");
        // Serving commands is the last step of its start.
        const auto control = root.path() / "run/qn.Korvel/qn.Korvel.companion.control";
        for (int i = 0; i < 400 && !std::filesystem::exists(control); ++i) {
            std::this_thread::sleep_for(25ms);
        }
        ASSERT_TRUE(std::filesystem::exists(control)) << "the engine did not come up";
    }

    struct Run {
        int exitCode = -1;
        std::string out;
        std::string err;
        bool operator==(const Run&) const = default;
    };
    Run run(const char* argument = nullptr) {
        gchar* argv[] = {program_.data(), const_cast<gchar*>(argument), nullptr};
        gchar* out = nullptr;
        gchar* err = nullptr;
        gint status = 0;
        Run result;
        if (g_spawn_sync(nullptr, argv, env_, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                         &status, nullptr)) {
            result = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err};
        }
        g_free(out);
        g_free(err);
        return result;
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
    std::string program_ = std::string(KORVEL_TEST_BINARY_DIR) + "/korvel-companion";
    gchar** env_ = nullptr;
    GPid engine_ = 0;
};

TEST_F(SingleInstanceTest, ASecondStartRunsNoSecondEngine) {
    startEngine();

    EXPECT_EQ(run(), (Run{0, std::string(kAlreadyRunningMessage) + "\n", ""}));

    // The settings command reaches the running engine, which has no screen.
    const auto settings = run("--settings");
    EXPECT_EQ(settings.exitCode, 1);
    EXPECT_NE(settings.err.find("no display"), std::string::npos) << settings.err;

    EXPECT_EQ(engineKind(), std::pair("korvel-companion"s, false));

    // Without a display the launch still registered the login item.
    EXPECT_TRUE(
        std::filesystem::exists(root.path() / "config/autostart/qn.Korvel.companion.desktop"));

    // SIGTERM ends it cleanly, and then a start is the engine again.
    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);
    startEngine();
    EXPECT_EQ(run().out, std::string(kAlreadyRunningMessage) + "\n");
}

TEST_F(SingleInstanceTest, WithADisplayTheWindowProgramTakesOverTheClaim) {
    const char* display = g_getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        GTEST_SKIP() << "no display";
    }
    env_ = g_environ_setenv(env_, "DISPLAY", display, TRUE);
    // No session bus: GLib would otherwise launch one that outlives the test.
    env_ = g_environ_setenv(env_, "DBUS_SESSION_BUS_ADDRESS",
                            "unix:path=/nonexistent/korvel-test-bus", TRUE);
    startEngine();
    EXPECT_EQ(engineKind(), std::pair("korvel-companion-gtk"s, true));

    EXPECT_EQ(run(), (Run{0, std::string(kAlreadyRunningMessage) + "\n", ""}));
    EXPECT_EQ(run("--settings").exitCode, 0);

    // The login item starts the public program, not the window program.
    const std::string text = root.read("config/autostart/qn.Korvel.companion.desktop");
    EXPECT_NE(text.find("Exec=" + program_ + "\n"), std::string::npos) << text;

    // A display that cannot be opened sends the start back to the public
    // program, which runs the engine without the toolkit.
    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);
    env_ = g_environ_setenv(env_, "DISPLAY", ":4093", TRUE);
    startEngine();
    EXPECT_EQ(engineKind(), std::pair("korvel-companion"s, false));
}

} // namespace
} // namespace korvel::testing
