#include "companion/sampling/icon_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace korvel {
namespace {

// Answers from a table, counting lookups per key; "not ready" until told.
struct CountingLookup {
    std::map<std::string, std::string> icons;
    std::map<std::string, int> calls;
    bool ready = true;
    IconCache::Lookup function() {
        return [this](const std::string& key) -> std::optional<std::string> {
            calls[key] += 1;
            if (!ready) {
                return std::nullopt;
            }
            const auto found = icons.find(key);
            return found == icons.end() ? std::string() : found->second;
        };
    }
};

TEST(IconCache, KeysFollowTheBundleRule) {
    EXPECT_EQ(IconCache::keyForExecutablePath("/Applications/Example.app/Contents/MacOS/Example"),
              "/Applications/Example.app");
    EXPECT_EQ(IconCache::keyForExecutablePath("/Applications/Example.app/Contents/Helpers/tool"),
              "/Applications/Example.app");
    // Nested bundles: the first occurrence decides, so the outer bundle's icon.
    EXPECT_EQ(IconCache::keyForExecutablePath(
                  "/Applications/Outer.app/Contents/Library/Inner.app/Contents/MacOS/Inner"),
              "/Applications/Outer.app");
    EXPECT_EQ(IconCache::keyForExecutablePath("/usr/sbin/sshd"), "/usr/sbin/sshd");
    // Case matters, and a bundle folder without Contents/ is no bundle.
    EXPECT_EQ(IconCache::keyForExecutablePath("/opt/X.APP/Contents/MacOS/X"),
              "/opt/X.APP/Contents/MacOS/X");
    EXPECT_EQ(IconCache::keyForExecutablePath("/opt/X.app/bin/x"), "/opt/X.app/bin/x");
}

TEST(IconCache, OneLookupPerKeyAndTheSameObjectEveryTime) {
    CountingLookup lookup;
    lookup.icons = {{"/usr/bin/viewer", "org.example.viewer"},
                    {"/Applications/Example.app", "/opt/example/icon.png"}};
    IconCache cache(lookup.function());

    const auto main =
        cache.iconForExecutablePath("/Applications/Example.app/Contents/MacOS/Example");
    const auto helper =
        cache.iconForExecutablePath("/Applications/Example.app/Contents/Helpers/tool");
    EXPECT_EQ(*main, "/opt/example/icon.png");
    EXPECT_EQ(main.get(), helper.get());
    EXPECT_EQ(lookup.calls["/Applications/Example.app"], 1);

    const auto viewer = cache.iconForExecutablePath("/usr/bin/viewer");
    EXPECT_EQ(*viewer, "org.example.viewer");
    EXPECT_EQ(cache.iconForExecutablePath("/usr/bin/viewer").get(), viewer.get());
    EXPECT_EQ(lookup.calls["/usr/bin/viewer"], 1);

    // No application for it (or no such file): the generic icon, remembered too.
    const auto daemon = cache.iconForExecutablePath("/usr/sbin/daemon-without-entry");
    EXPECT_EQ(*daemon, IconCache::kGenericExecutableIcon);
    EXPECT_EQ(cache.iconForExecutablePath("/usr/sbin/daemon-without-entry").get(), daemon.get());
    EXPECT_EQ(lookup.calls["/usr/sbin/daemon-without-entry"], 1);
    EXPECT_EQ(cache.size(), 3u);
}

TEST(IconCache, NothingIsRememberedBeforeTheApplicationsAreKnown) {
    CountingLookup lookup;
    lookup.icons = {{"/usr/bin/viewer", "org.example.viewer"}};
    lookup.ready = false;
    IconCache cache(lookup.function());
    EXPECT_EQ(*cache.iconForExecutablePath("/usr/bin/viewer"), IconCache::kGenericExecutableIcon);
    EXPECT_EQ(cache.size(), 0u);
    lookup.ready = true;
    const auto icon = cache.iconForExecutablePath("/usr/bin/viewer");
    EXPECT_EQ(*icon, "org.example.viewer");
    EXPECT_EQ(cache.iconForExecutablePath("/usr/bin/viewer").get(), icon.get());
    EXPECT_EQ(lookup.calls["/usr/bin/viewer"], 2);
}

TEST(IconCache, ConcurrentCallersShareOneLookupPerKey) {
    std::atomic<int> lookups{0};
    IconCache cache([&lookups](const std::string& key) -> std::optional<std::string> {
        lookups += 1;
        return "icon-for-" + key;
    });
    constexpr int kThreads = 8;
    constexpr int kKeys = 10;
    std::vector<std::vector<const ProcessIcon*>> seen(kThreads,
                                                      std::vector<const ProcessIcon*>(kKeys));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                for (int k = 0; k < kKeys; ++k) {
                    const auto icon = cache.iconForExecutablePath("/usr/bin/p" + std::to_string(k));
                    if (round == 0) {
                        seen[t][k] = icon.get();
                    } else if (seen[t][k] != icon.get()) {
                        seen[t][k] = nullptr;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(lookups.load(), kKeys);
    for (int k = 0; k < kKeys; ++k) {
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(seen[t][k], seen[0][k]);
            EXPECT_NE(seen[t][k], nullptr);
        }
    }
}

} // namespace
} // namespace korvel
