#include "companion/program/companion_launch.h"

#include <gtest/gtest.h>

namespace korvel {
namespace {

std::vector<std::string_view> views(const std::vector<std::string>& args) {
    return {args.begin(), args.end()};
}

TEST(CompanionLaunchTest, TheWindowProgramReadsBackWhatItWasHanded) {
    for (const WindowLaunch& launch :
         {WindowLaunch{3, "/usr/bin/korvel-companion", {false, true}},
          WindowLaunch{
              -1, "/opt/k/bin/korvel-companion", {true, false, "/var/lib/node exporter"}}}) {
        const auto args = windowProgramArguments(launch);
        const auto parsed = parseWindowProgramArguments(views(args));
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->claimDescriptor, launch.claimDescriptor);
        EXPECT_EQ(parsed->companionProgram, launch.companionProgram);
        EXPECT_EQ(parsed->request.openSettings, launch.request.openSettings);
        EXPECT_EQ(parsed->request.openWindow, launch.request.openWindow);
        EXPECT_EQ(parsed->request.textfileDirectory, launch.request.textfileDirectory);
    }
    // Started by hand, or with a relative program: refused.
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"--settings"},
                                                 {"--companion", "korvel-companion"},
                                                 {"--claim-fd", "x3", "--companion", "/k"},
                                                 {"--companion", "/k", "--verbose"}}) {
        EXPECT_FALSE(parseWindowProgramArguments(views(args)));
    }
}

} // namespace
} // namespace korvel
