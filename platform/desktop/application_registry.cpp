#include "platform/desktop/application_registry.h"

#include "platform/desktop/directory_watcher.h"

namespace korvel::platform::desktop {

ApplicationRegistry::ApplicationRegistry(XdgEnvironment environment,
                                         std::chrono::milliseconds settle)
    : environment_(std::move(environment)), settle_(settle),
      index_(std::make_shared<ApplicationIndex>()) {}

ApplicationRegistry::~ApplicationRegistry() = default;

ApplicationRegistry& ApplicationRegistry::shared() {
    static ApplicationRegistry* const registry = [] {
        auto* created = new ApplicationRegistry(XdgEnvironment::fromProcess());
        created->startInBackground();
        return created;
    }();
    return *registry;
}

void ApplicationRegistry::startInBackground() {
    // Watch first, then read: nothing that changes in between is missed.
    std::call_once(watching_, [this] {
        watcher_ = std::make_unique<DirectoryWatcher>(
            environment_.applicationDirs, settle_, [this] { buildIfNotReady(); },
            [this] { rebuild(); });
    });
}

void ApplicationRegistry::rebuild() {
    // One reading at a time; the lookups go on with the old index meanwhile.
    std::lock_guard rebuilding(rebuildMutex_);
    read();
}

void ApplicationRegistry::buildIfNotReady() {
    // Whoever waited here while another thread read the index uses that one.
    std::lock_guard rebuilding(rebuildMutex_);
    if (!isReady()) {
        read();
    }
}

void ApplicationRegistry::read() {
    auto fresh = std::make_shared<const ApplicationIndex>(ApplicationIndex::build(environment_));
    {
        std::lock_guard lock(mutex_);
        index_ = std::move(fresh);
    }
    ready_ = true;
    generation_ += 1;
}

std::shared_ptr<const ApplicationIndex> ApplicationRegistry::index() const {
    std::lock_guard lock(mutex_);
    return index_;
}

std::vector<RunningApplicationInfo>
ApplicationRegistry::runningApplications(const std::vector<ProcessExecutable>& processes) const {
    const auto current = index();
    std::vector<RunningApplicationInfo> running;
    for (const auto& process : processes) {
        if (const DesktopEntry* entry = current->find(process.execPath)) {
            std::string_view appId = entry->id;
            if (appId.ends_with(".desktop")) {
                appId.remove_suffix(std::string_view(".desktop").size());
            }
            running.push_back({process.pid, entry->name, entry->icon, std::string(appId)});
        }
    }
    return running;
}

ApplicationRegistry::IconAnswer
ApplicationRegistry::iconForExecutable(std::string_view path) const {
    if (!isReady()) {
        return {};
    }
    const auto current = index();
    const DesktopEntry* entry = current->find(path);
    return {true, entry == nullptr ? std::string() : entry->icon};
}

} // namespace korvel::platform::desktop
