#pragma once

#include "companion/model/net_process.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvel {

// Process icons by executable path, one lookup per path for the life of the
// process. Safe to use from any thread.
class IconCache {
public:
    static constexpr const char* kGenericExecutableIcon = "application-x-executable";
    // The kernel names no executable by a longer path; such a path gets the
    // generic icon and is not remembered.
    static constexpr size_t kLongestPath = 4096;

    // The icon an installed application gives the key path; an empty string
    // when it has none; no value while the applications are not known yet.
    using Lookup = std::function<std::optional<std::string>(const std::string& keyPath)>;

    explicit IconCache(Lookup lookup);

    // The process-wide cache over the desktop's installed applications.
    // Created on first use, never destroyed.
    static IconCache& shared();

    // Never null; the same object for every path with the same key. While the
    // applications are not known yet the generic icon is returned and nothing
    // is remembered, so the real icon shows once they are.
    std::shared_ptr<const ProcessIcon> iconForExecutablePath(const std::string& execPath);

    size_t size() const;

private:
    Lookup lookup_;
    const std::shared_ptr<const ProcessIcon> generic_;
    mutable std::mutex lock_;
    std::unordered_map<std::string, std::shared_ptr<const ProcessIcon>> cache_;
};

} // namespace korvel
