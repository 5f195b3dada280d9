#pragma once

#include "platform/dispatch/dispatch.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace korvel::platform {

// User-info values keep their type: a "true" string is not a Boolean.
using NotificationValue = std::variant<bool, int64_t, double, std::string>;
using UserInfo = std::map<std::string, NotificationValue, std::less<>>;

struct Notification {
    std::string name;
    std::optional<UserInfo> userInfo;

    // The value under key when there is user info, the key is in it and the
    // value has exactly this type; otherwise nothing.
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
};

struct NotificationObserverToken {
    uint64_t id = 0;
};

// An in-process notification centre. Anyone may post from any thread; every
// observer runs on the main queue of the Dispatch given at construction, never
// inside the post() call, one main-queue block per post with the observers in
// the order they were added. An observer removed on the main queue is not
// called again, not even for posts made before its removal.
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    // The dispatch must outlive the centre and anything still queued.
    explicit NotificationCenter(Dispatch& dispatch);
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // An empty name observes every notification. Any thread.
    NotificationObserverToken addObserver(std::string name, Observer observer);
    // Unknown or already removed tokens are ignored. Any thread.
    void removeObserver(NotificationObserverToken token);
    void post(std::string name, std::optional<UserInfo> userInfo = std::nullopt);

    // The process's centre, delivering on liveDispatch()'s main queue.
    static NotificationCenter& forThisProcess();

private:
    struct Entry;
    struct Registry;
    Dispatch& dispatch_;
    std::shared_ptr<Registry> registry_;
};

} // namespace korvel::platform
