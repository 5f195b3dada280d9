// The built korvel-companion's commands as a shell runs them: where help,
// usage errors and log records go, and what a full disk does to the status.

#include "tests/support/helper_process.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace korvel {
namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class CompanionCommandsTest : public ::testing::Test {
protected:
    void TearDown() override { testing::killHelpers(); }

    // Runs `korvel-companion WORDS` in a shell, stdout to `stdoutFile` when one is named.
    Result run(const std::string& words, const std::string& stdoutFile = "") {
        const std::string command = "'" + std::string(KORVEL_TEST_BINARY_DIR) +
                                    "/korvel-companion' " + words + " </dev/null >'" +
                                    (stdoutFile.empty() ? home.str() + "/out" : stdoutFile) +
                                    "' 2>'" + home.str() + "/err'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, home.read("out"), home.read("err")};
    }

    testing::TempDir home;
    testing::ScopedEnv runtimeDir{"XDG_RUNTIME_DIR", home.str()};
    testing::ScopedEnv configDir{"XDG_CONFIG_HOME", (home.path() / "config").string()};
};

TEST_F(CompanionCommandsTest, EveryCommandAnswersHelpOnStdoutAndMisuseWithStatusTwo) {
    for (const char* words : {"--help", "help", "--settings -h", "fetch --help", "top --help",
                              "top --once -h", "defaults --help", "help top"}) {
        const Result help = run(words);
        EXPECT_EQ(help.status, 0) << words;
        EXPECT_TRUE(help.out.starts_with("Usage: korvel-companion")) << help.out;
        EXPECT_EQ(help.err, "") << words;
    }
    EXPECT_NE(run("help").out.find("\n  fetch "), std::string::npos) << "commands are listed";
    for (const char* words : {"fetch --bogus", "top -d 0", "defaults list", "--bogus", "bogus",
                              "--settings fetch", "help bogus", "top", // no terminal to draw on
                              "--prometheus-textfile-directory",
                              "--prometheus-textfile-directory=/no/such/directory"}) {
        const Result misuse = run(words);
        EXPECT_EQ(misuse.status, 2) << words;
        EXPECT_EQ(misuse.out, "") << words;
        EXPECT_NE(misuse.err, "") << words;
    }
}

// A command's output that cannot be written fails the command, with one line
// on stderr, however small the output and whoever wrote it.
TEST_F(CompanionCommandsTest, OutputThatCannotBeWrittenFailsWithOneLine) {
    for (const char* words : {"--help", "fetch --help", "defaults read", "fetch"}) {
        const Result full = run(words, "/dev/full");
        EXPECT_EQ(full.status, 1) << words;
        EXPECT_EQ(std::count(full.err.begin(), full.err.end(), '\n'), 1) << full.err;
        EXPECT_NE(full.err.find("cannot write"), std::string::npos) << full.err;
    }
}

// With no journal to take them, routine log records of a command are dropped,
// not printed among the user's output.
TEST_F(CompanionCommandsTest, CommandsLeaveOnlyTheirOutputOnTheTerminal) {
    for (const char* words : {"fetch", "top --json"}) {
        const Result command = run(words);
        EXPECT_EQ(command.status, 0) << command.err;
        EXPECT_TRUE(nlohmann::json::accept(command.out)) << words;
        EXPECT_EQ(command.err, "") << words;
    }
}

} // namespace
} // namespace korvel
