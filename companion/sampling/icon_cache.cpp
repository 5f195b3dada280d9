#include "companion/sampling/icon_cache.h"

#include "platform/desktop/application_registry.h"

namespace korvel {

IconCache::IconCache(Lookup lookup)
    : lookup_(std::move(lookup)),
      generic_(std::make_shared<const ProcessIcon>(kGenericExecutableIcon)) {}

IconCache& IconCache::shared() {
    static IconCache* const cache =
        new IconCache([](const std::string& key) -> std::optional<std::string> {
            const auto answer =
                platform::desktop::ApplicationRegistry::shared().iconForExecutable(key);
            return answer.ready ? std::optional(answer.icon) : std::nullopt;
        });
    return *cache;
}

std::shared_ptr<const ProcessIcon> IconCache::iconForExecutablePath(const std::string& execPath) {
    if (execPath.size() > kLongestPath) {
        return generic_; // no file's path: a reply posing as the helper's must not grow us
    }
    const std::string& key = execPath;
    // Held across the lookup: two threads asking for one new key cause one lookup.
    std::lock_guard guard(lock_);
    if (const auto cached = cache_.find(key); cached != cache_.end()) {
        return cached->second;
    }
    const auto icon = lookup_ ? lookup_(key) : std::optional<std::string>(std::string());
    if (!icon) {
        return generic_;
    }
    auto value = icon->empty() ? generic_ : std::make_shared<const ProcessIcon>(*icon);
    cache_.emplace(key, value);
    return value;
}

size_t IconCache::size() const {
    std::lock_guard guard(lock_);
    return cache_.size();
}

} // namespace korvel
