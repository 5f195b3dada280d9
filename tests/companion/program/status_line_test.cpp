#include "companion/program/status_line.h"
#include "tests/companion/engine/manager_fixture.h"

namespace korvel {
namespace {

using StatusLineTest = testing::ManagerFixture;

TEST_F(StatusLineTest, NamesFromTheMachineReachTheTerminalEscaped) {
    start();
    NetworkPathSummary path;
    path.transportLabel = "Wi-Fi";
    path.primaryInterfaceID = "wl\x1b]0;PWNED";     // an OSC left open
    path.localAddress = "10.0.0.2\r\n\xE2\x80\xAE"; // a line break and U+202E
    manager->networkPath.set(path);
    EXPECT_EQ(engineStatusLine(*manager),
              "processes 0, sockets 0, local data only; network offline (Wi-Fi, "
              "wl\\x1b]0;PWNED 10.0.0.2\\x0d\\x0a\\u202e)");
}

} // namespace
} // namespace korvel
