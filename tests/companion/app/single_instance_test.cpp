#include "companion/cli/engine_instance.h"
#include "tests/support/helper_process.h"
#include "tests/support/temp_dir.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>

namespace korvel::testing {
namespace {

using namespace std::chrono_literals;

// Runs the built korvel-companion with no display and private XDG
// directories, as a user's login session without a screen would.
class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* dir : {"run", "config", "data", "home"}) {
            std::filesystem::create_directories(root.path() / dir);
        }
        std::filesystem::permissions(root.path() / "run", std::filesystem::perms::owner_all);
        gchar** env = g_get_environ();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            env = g_environ_unsetenv(env, name);
        }
        env = g_environ_setenv(env, "XDG_RUNTIME_DIR", (root.path() / "run").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_CONFIG_HOME", (root.path() / "config").c_str(), TRUE);
        env = g_environ_setenv(env, "XDG_DATA_HOME", (root.path() / "data").c_str(), TRUE);
        env = g_environ_setenv(env, "HOME", (root.path() / "home").c_str(), TRUE);
        env_ = env;
    }

    void TearDown() override {
        if (engine_ > 0) {
            ::kill(engine_, SIGKILL);
            ::waitpid(engine_, nullptr, 0);
        }
        // Helpers the engine started for this runtime directory.
        const char* previous = g_getenv("XDG_RUNTIME_DIR");
        const std::string saved = previous != nullptr ? previous : "";
        g_setenv("XDG_RUNTIME_DIR", (root.path() / "run").c_str(), TRUE);
        killHelpers();
        if (previous != nullptr) {
            g_setenv("XDG_RUNTIME_DIR", saved.c_str(), TRUE);
        } else {
            g_unsetenv("XDG_RUNTIME_DIR");
        }
        g_strfreev(env_);
    }

    std::string program() const {
        return std::string(KORVEL_TEST_BINARY_DIR) + "/korvel-companion";
    }

    void startEngine() {
        const std::string path = program();
        gchar* argv[] = {const_cast<gchar*>(path.c_str()), nullptr};
        GError* error = nullptr;
        GPid pid = 0;
        ASSERT_TRUE(g_spawn_async(
            nullptr, argv, env_,
            static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL),
            nullptr, nullptr, &pid, &error))
            << (error ? error->message : "");
        engine_ = pid;
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
    };
    Run run(std::vector<std::string> args) {
        std::vector<gchar*> argv;
        const std::string path = program();
        argv.push_back(const_cast<gchar*>(path.c_str()));
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        Run result;
        gchar* out = nullptr;
        gchar* err = nullptr;
        gint status = 0;
        GError* error = nullptr;
        if (g_spawn_sync(nullptr, argv.data(), env_, G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err,
                         &status, &error)) {
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.out = out;
            result.err = err;
        } else {
            ADD_FAILURE() << error->message;
            g_error_free(error);
        }
        g_free(out);
        g_free(err);
        return result;
    }

    // Waits for the engine to end; its exit code, or -1 when it did not.
    int waitForEngine() {
        for (int i = 0; i < 400; ++i) {
            int status = 0;
            if (::waitpid(engine_, &status, WNOHANG) == engine_) {
                engine_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(25ms);
        }
        return -1;
    }

    TempDir root;
    gchar** env_ = nullptr;
    pid_t engine_ = 0;
};

TEST_F(SingleInstanceTest, ASecondStartRunsNoSecondEngine) {
    startEngine();

    const auto second = run({});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(second.out, std::string(kAlreadyRunningMessage) + "\n");

    // The settings command reaches the running engine, which has no screen.
    const auto settings = run({"--settings"});
    EXPECT_EQ(settings.exitCode, 1);
    EXPECT_NE(settings.err.find("no display"), std::string::npos) << settings.err;

    // Without a display the launch still registered the login item.
    EXPECT_TRUE(
        std::filesystem::exists(root.path() / "config/autostart/qn.Korvel.companion.desktop"));

    // SIGTERM ends it cleanly, and then a start is the engine again.
    ::kill(engine_, SIGTERM);
    EXPECT_EQ(waitForEngine(), 0);
    startEngine();
    EXPECT_EQ(run({}).out, std::string(kAlreadyRunningMessage) + "\n");
}

} // namespace
} // namespace korvel::testing
