#pragma once

#include "platform/desktop/application_index.h"
#include "platform/desktop/xdg_environment.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform::desktop {

class DirectoryWatcher;

struct ProcessExecutable {
    int32_t pid = 0;
    std::string execPath;
};

// A process that runs an installed application's program.
struct RunningApplicationInfo {
    int32_t pid = 0;
    std::string localizedName;
    std::string icon;  // theme icon name or absolute file path; empty when none
    std::string appId; // the desktop file ID without ".desktop"
};

// The desktop's installed applications, kept current: the index is read from
// disk when following starts and again, on a thread of its own, whenever an
// applications directory changes. Lookups read only the index in memory.
class ApplicationRegistry {
public:
    explicit ApplicationRegistry(XdgEnvironment environment,
                                 std::chrono::milliseconds settle = std::chrono::seconds(2));
    ~ApplicationRegistry();
    ApplicationRegistry(const ApplicationRegistry&) = delete;
    ApplicationRegistry& operator=(const ApplicationRegistry&) = delete;

    // The process's registry for the session's environment. Created on first
    // use, never destroyed; it starts following in the background at once.
    static ApplicationRegistry& shared();

    // Follows the directories; the first index is read on the follower's thread.
    void startInBackground();
    // Reads the directories again and replaces the index. Any thread.
    void rebuild();

    bool isReady() const { return ready_.load(); }
    // How many times the index has been read.
    uint64_t generation() const { return generation_.load(); }

    // The processes, in the given order, that run an installed application.
    std::vector<RunningApplicationInfo>
    runningApplications(const std::vector<ProcessExecutable>& processes) const;

    struct IconAnswer {
        bool ready = false; // false: the index has not been read yet
        std::string icon;   // the entry's icon; empty when no entry has one
    };
    IconAnswer iconForExecutable(std::string_view path) const;

    std::shared_ptr<const ApplicationIndex> index() const;

private:
    void buildIfNotReady();
    void read(); // with rebuildMutex_ held

    XdgEnvironment environment_;
    std::chrono::milliseconds settle_;
    mutable std::mutex mutex_;
    std::shared_ptr<const ApplicationIndex> index_;
    std::mutex rebuildMutex_;
    std::atomic<bool> ready_{false};
    std::atomic<uint64_t> generation_{0};
    std::once_flag watching_;
    std::unique_ptr<DirectoryWatcher> watcher_;
};

} // namespace korvel::platform::desktop
