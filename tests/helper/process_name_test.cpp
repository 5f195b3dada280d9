#include "helper/process_name.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

TEST(ProcessNameTest, BundlesAreNamedAfterTheOutermostBundleElseTheLastComponent) {
    EXPECT_EQ(processDisplayName("/Applications/X.app/Contents/MacOS/Y"), "X");
    EXPECT_EQ(processDisplayName("/Applications/Outer.app/Contents/Frameworks/Inner.app/Contents/"
                                 "MacOS/Inner"),
              "Outer");
    EXPECT_EQ(processDisplayName("X.app/Contents/MacOS/Y"), "Y") << "no / before the marker";
    EXPECT_EQ(processDisplayName("/opt/tool"), "tool");
    EXPECT_EQ(processDisplayName("/opt/Tool.app/MacOS/tool"), "tool") << "no Contents/";
    EXPECT_EQ(processDisplayName("/opt/my app/run me"), "run me");
    EXPECT_EQ(processDisplayName("relative"), "relative");
}

TEST(ProcessNameTest, LastComponentIgnoresTrailingSeparators) {
    EXPECT_EQ(lastPathComponent("/usr/lib/"), "lib");
    EXPECT_EQ(lastPathComponent("/usr/lib///"), "lib");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent("///"), "/");
    EXPECT_EQ(lastPathComponent("name"), "name");
    EXPECT_EQ(lastPathComponent(""), "");
}

} // namespace
} // namespace korvel
