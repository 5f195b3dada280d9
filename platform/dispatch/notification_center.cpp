#include "platform/dispatch/notification_center.h"

#include "platform/dispatch/glib_dispatch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace korvel::platform {

namespace {

template <typename T>
std::optional<T> typedValue(const std::optional<UserInfo>& userInfo, std::string_view key) {
    if (!userInfo) {
        return std::nullopt;
    }
    const auto it = userInfo->find(key);
    if (it == userInfo->end()) {
        return std::nullopt;
    }
    if (const T* value = std::get_if<T>(&it->second)) {
        return *value;
    }
    return std::nullopt;
}

} // namespace

std::optional<bool> Notification::boolValue(std::string_view key) const {
    return typedValue<bool>(userInfo, key);
}

std::optional<std::string> Notification::stringValue(std::string_view key) const {
    return typedValue<std::string>(userInfo, key);
}

struct NotificationCenter::Entry {
    uint64_t id;
    std::string name;
    Observer observer;
    std::atomic<bool> active{true};
};

struct NotificationCenter::Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;
    uint64_t nextId = 1;
};

NotificationCenter::NotificationCenter(Dispatch& dispatch)
    : dispatch_(dispatch), registry_(std::make_shared<Registry>()) {}

NotificationCenter::~NotificationCenter() {
    // Deliveries already queued check this flag and call nobody.
    std::lock_guard lock(registry_->mutex);
    for (const auto& entry : registry_->entries) {
        entry->active = false;
    }
}

NotificationObserverToken NotificationCenter::addObserver(std::string name, Observer observer) {
    std::lock_guard lock(registry_->mutex);
    auto entry = std::make_shared<Entry>();
    entry->id = registry_->nextId++;
    entry->name = std::move(name);
    entry->observer = std::move(observer);
    registry_->entries.push_back(entry);
    return {entry->id};
}

void NotificationCenter::removeObserver(NotificationObserverToken token) {
    std::shared_ptr<Entry> removed;
    std::lock_guard lock(registry_->mutex);
    auto& entries = registry_->entries;
    const auto it = std::ranges::find(entries, token.id, &Entry::id);
    if (it != entries.end()) {
        (*it)->active = false;
        // Destroyed after the lock is released (declared before it).
        removed = std::move(*it);
        entries.erase(it);
    }
}

void NotificationCenter::post(std::string name, std::optional<UserInfo> userInfo) {
    std::vector<std::shared_ptr<Entry>> receivers;
    {
        std::lock_guard lock(registry_->mutex);
        for (const auto& entry : registry_->entries) {
            if (entry->name.empty() || entry->name == name) {
                receivers.push_back(entry);
            }
        }
    }
    if (receivers.empty()) {
        return;
    }
    dispatch_.onMain([receivers = std::move(receivers),
                      notification = Notification{std::move(name), std::move(userInfo)}] {
        for (const auto& entry : receivers) {
            if (entry->active) {
                entry->observer(notification);
            }
        }
    });
}

NotificationCenter& NotificationCenter::forThisProcess() {
    static auto* center = new NotificationCenter(liveDispatch());
    return *center;
}

} // namespace korvel::platform
