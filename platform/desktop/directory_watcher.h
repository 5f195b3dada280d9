#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korvel::platform::desktop {

// Follows a set of directories (and the subdirectories they have) on a thread
// of its own and calls onChange there once things have been quiet for
// `settle` after a change, so a package install that writes many files
// causes one call. Directories that do not exist yet are followed too.
class DirectoryWatcher {
public:
    // onStart runs once the watches are in place, on the watcher's thread.
    DirectoryWatcher(std::vector<std::string> directories, std::chrono::milliseconds settle,
                     std::function<void()> onStart, std::function<void()> onChange);
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    struct State;

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace korvel::platform::desktop
