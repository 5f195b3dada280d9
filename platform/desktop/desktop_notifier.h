#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace korvel::platform {

// Desktop notifications, through the notification service of the session
// bus (org.freedesktop.Notifications). Sending may happen on any thread; a
// click on one of ours runs `clicked` on the thread that made the notifier
// (its GLib main context). Without a session bus or a service, nothing is shown.
class DesktopNotifier {
public:
    // busAddress empty: the session bus.
    explicit DesktopNotifier(std::function<void()> clicked, std::string busAddress = {});
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // False when no service took it.
    bool notify(const std::string& summary, const std::string& body);

private:
    GDBusConnection* connection_ = nullptr;
    unsigned subscription_ = 0;
    std::function<void()> clicked_;
    std::mutex mutex_;
    std::set<uint32_t> sent_; // ids of ours, so another program's clicks are not ours
    struct Click;
};

} // namespace korvel::platform
