#include "companion/sampling/icon_cache.h"

#include <gtest/gtest.h>

#include <map>

namespace korvel {
namespace {

TEST(IconCache, OneLookupPerKeyButNoneRememberedBeforeTheApplicationsAreKnown) {
    std::map<std::string, int> calls;
    bool ready = false;
    IconCache cache([&](const std::string& key) -> std::optional<std::string> {
        calls[key] += 1;
        if (!ready) {
            return std::nullopt;
        }
        return key == "/opt/example/bin/example" ? "/opt/example/icon.png" : "";
    });
    const auto icon = [&](const char* path) { return cache.iconForExecutablePath(path); };

    EXPECT_EQ(*icon("/opt/example/bin/example"), IconCache::kGenericExecutableIcon);
    EXPECT_EQ(cache.size(), 0u);

    ready = true;
    const auto main = icon("/opt/example/bin/example");
    EXPECT_EQ(*main, "/opt/example/icon.png");
    EXPECT_EQ(icon("/opt/example/bin/example").get(), main.get());
    EXPECT_EQ(calls["/opt/example/bin/example"], 2);

    // No application for it (or no such file): the generic icon, remembered too.
    const auto daemon = icon("/usr/sbin/daemon-without-entry");
    EXPECT_EQ(*daemon, IconCache::kGenericExecutableIcon);
    EXPECT_EQ(icon("/usr/sbin/daemon-without-entry").get(), daemon.get());
    EXPECT_EQ(calls["/usr/sbin/daemon-without-entry"], 1);
    EXPECT_EQ(*icon(("/" + std::string(IconCache::kLongestPath, 'x')).c_str()),
              IconCache::kGenericExecutableIcon);
    EXPECT_EQ(cache.size(), 2u);
}

} // namespace
} // namespace korvel
