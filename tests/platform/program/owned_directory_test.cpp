#include "platform/program/owned_directory.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <gtest/gtest.h>

namespace korvel::platform {
namespace {

mode_t modeOf(const std::filesystem::path& file) {
    struct stat st {};
    return ::lstat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A program started with standard input closed gets descriptor 0 from its
// first open, and must treat it as any other; each step below runs with 0
// taken and then with 0 free. A file left readable to others is made private.
TEST(OwnedDirectoryTest, DescriptorZeroIsADescriptorLikeAnyOther) {
    const int input = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    for (const bool zeroFree : {false, true}) {
        SCOPED_TRACE(zeroFree ? "descriptor 0 free" : "descriptor 0 taken");
        const auto freeZero = [zeroFree] {
            if (zeroFree) {
                ::close(0);
            }
        };
        testing::TempDir dir;
        const auto state = dir.path() / "korvel";
        std::string error;
        freeZero();
        auto korvel = OwnedDirectory::open(dir.str(), "korvel", false, true, error);
        ASSERT_TRUE(korvel) << error;

        const int shared = ::open((state / "history").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_TRUE(shared >= 0 && ::write(shared, "kept", 4) == 4 && ::fchmod(shared, 0666) == 0);
        ::close(shared);
        freeZero();
        EXPECT_TRUE(korvel->preparePrivateFile("history", error)) << error;
        EXPECT_EQ(modeOf(state / "history"), 0600u);
        EXPECT_EQ(dir.read(state / "history"), "kept");

        freeZero();
        EXPECT_TRUE(korvel->replaceFile("export.prom", "up 1\n", error, 0644)) << error;
        EXPECT_EQ(dir.read(state / "export.prom"), "up 1\n");
        EXPECT_EQ(modeOf(state / "export.prom"), 0644u);
        dir.write("korvel/export.prom.AbC123", "left by a crash");
        freeZero();
        EXPECT_EQ(korvel->removeStaleTemporaries("export.prom", 0), 1);
        dir.write("korvel/export.prom.AbC123", "left by a crash");
        freeZero();
        EXPECT_EQ(removeStaleTemporaries(state.string(), "export.prom", 0), 1);

        // Two steps down, the handle itself is descriptor 0 when it is free.
        freeZero();
        auto deeper = OwnedDirectory::open(dir.str(), "korvel/deeper", false, true, error);
        ASSERT_TRUE(deeper) << error;
        EXPECT_TRUE(deeper->replaceFile("file", "x", error)) << error;
        EXPECT_EQ(modeOf(state / "deeper" / "file"), 0600u);
        deeper.reset();
        EXPECT_TRUE(OwnedDirectory::open(dir.str(), "korvel/deeper", false, false, error));
        if (zeroFree) {
            EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "a handle that is gone closed its own";
        }
        // One others may write to is refused, whatever descriptor it got.
        std::filesystem::create_directory(state / "shared");
        std::filesystem::permissions(state / "shared", std::filesystem::perms::all);
        freeZero();
        EXPECT_FALSE(OwnedDirectory::open((state / "shared").string(), "", false, false, error));
        // Each step of a path takes the lowest descriptor free: one of these ends on 0.
        for (const auto& [path, file] : {std::pair{state, "history"}, {state / "deeper", "file"}}) {
            freeZero();
            const auto byPath = OwnedDirectory::openPath(path.string(), error);
            ASSERT_TRUE(byPath) << error;
            EXPECT_EQ(byPath->holds(file), OwnedDirectory::Entry::ours);
        }
    }
    if (input >= 0) {
        ::dup2(input, 0);
        ::close(input);
    }
}

} // namespace
} // namespace korvel::platform
