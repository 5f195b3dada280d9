#include "platform/system/app_group_container.h"
#include "platform/system/atomic_file.h"
#include "tests/support/temp_dir.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>

namespace korvel::platform {
namespace {

namespace fs = std::filesystem;

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

size_t entriesIn(const fs::path& directory) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(directory), {}));
}

TEST(AtomicFileTest, CreatesAndReplacesWithoutLeavingTemporaries) {
    testing::TempDir dir;
    const auto path = (dir.path() / "state.json").string();
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path, "first", error)) << error;
    EXPECT_EQ(contentsOf(path), "first");
    ASSERT_TRUE(writeFileAtomically(path, std::string(100000, 'x'), error)) << error;
    ASSERT_TRUE(writeFileAtomically(path, "", error)) << error;
    EXPECT_EQ(contentsOf(path), "") << "a shorter document leaves no tail of the longer one";
    EXPECT_EQ(entriesIn(dir.path()), 1u);

    const auto secret = (dir.path() / "secret").string();
    ASSERT_TRUE(writeFileAtomically(secret, "s", error, 0600)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(AtomicFileTest, FailuresLeaveThePreviousFileAndDescribeThemselves) {
    testing::TempDir dir;
    std::string error;
    EXPECT_FALSE(writeFileAtomically((dir.path() / "missing/state.json").string(), "x", error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_EQ(entriesIn(dir.path()), 0u);

    const auto path = (dir.path() / "state.json").string();
    ASSERT_TRUE(writeFileAtomically(path, "previous", error)) << error;
    // A file-size limit refuses the write halfway, even for root.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    ::getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit small = oldLimit;
    small.rlim_cur = 1000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    error.clear();
    const bool written = writeFileAtomically(path, std::string(5000, 'n'), error);
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;
    EXPECT_EQ(contentsOf(path), "previous");
    EXPECT_EQ(entriesIn(dir.path()), 1u) << "the partial temporary file is removed";

    // The name is taken by a directory: the rename fails, the directory stays.
    fs::create_directories(dir.path() / "taken/inner");
    EXPECT_FALSE(writeFileAtomically((dir.path() / "taken").string(), "x", error));
    EXPECT_TRUE(fs::is_directory(dir.path() / "taken/inner"));
    EXPECT_EQ(entriesIn(dir.path()), 2u);
}

TEST(AppGroupContainerTest, IsANamedDirectoryInTheAbsoluteRuntimeDirectory) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string restore = saved ? saved : "";

    ::setenv("XDG_RUNTIME_DIR", "/run/user/1000/", 1);
    EXPECT_EQ(appGroupContainer("qn.Korvel.shared"), "/run/user/1000/qn.Korvel.shared");
    EXPECT_FALSE(appGroupContainer("../escape"));
    EXPECT_FALSE(appGroupContainer(".."));
    EXPECT_FALSE(appGroupContainer(""));
    ::setenv("XDG_RUNTIME_DIR", "run/user", 1);
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_FALSE(appGroupContainer("qn.Korvel.shared"));

    if (saved) {
        ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
    }
}

} // namespace
} // namespace korvel::platform
