#include "platform/program/install_layout.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace korvel::platform {
namespace {

namespace fs = std::filesystem;

struct Layout {
    testing::TempDir dir;
    std::string path(const std::string& relative) const { return (dir.path() / relative).string(); }
    void program(const std::string& relative, fs::perms perms = fs::perms::owner_all) const {
        fs::permissions(dir.write(relative, "#!/bin/sh\n"), perms);
    }
};

TEST(InstallLayoutTest, FindsPrivateProgramsOnlyWhereTheInstallPutsThem) {
    Layout both;
    both.program("usr/bin/korvel-companion");
    both.program("usr/bin/korvel-helper");
    both.program("usr/libexec/korvel/korvel-helper");
    Layout buildTree;
    buildTree.program("build/bin/korvel-companion");
    buildTree.program("build/bin/korvel-helper");
    Layout notRunnable;
    notRunnable.program("usr/libexec/korvel/korvel-helper", fs::perms::owner_read);
    fs::create_directories(notRunnable.dir.path() / "usr/bin/korvel-helper");

    const struct {
        const char* what;
        const Layout& layout;
        std::optional<std::string> running;
        const char* overridePath;
        std::optional<std::string> expected;
    } cases[] = {
        {"installed beats a stray copy next to the program", both,
         both.path("usr/bin/korvel-companion"), nullptr,
         both.path("usr/libexec/korvel/korvel-helper")},
        {"build tree", buildTree, buildTree.path("build/bin/korvel-companion"), nullptr,
         buildTree.path("build/bin/korvel-helper")},
        {"absolute override", buildTree, buildTree.path("build/bin/korvel-companion"),
         "/opt/dev/korvel-helper", "/opt/dev/korvel-helper"},
        {"relative override ignored", buildTree, buildTree.path("build/bin/korvel-companion"),
         "korvel-helper", buildTree.path("build/bin/korvel-helper")},
        {"not executable, a directory", notRunnable, notRunnable.path("usr/bin/korvel-companion"),
         nullptr, std::nullopt},
        // Before: a bare name, run from whatever the working directory held.
        {"running program unknown", buildTree, std::nullopt, nullptr, std::nullopt},
        {"running program relative", buildTree, "bin/korvel-companion", nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bundledExecutable("korvel-helper", c.running, c.overridePath), c.expected)
            << c.what;
    }

    EXPECT_EQ(executableOverrideVariable("korvel-helper"), "KORVEL_HELPER_PATH");
}

} // namespace
} // namespace korvel::platform
