#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace korvel::platform {

// Desktop notifications, through the notification service of the session
// bus (org.freedesktop.Notifications). Sending may happen on any thread; a
// click on one of ours runs `clicked` on the thread that made the notifier
// (its GLib main context) with the subject it was sent with. Without a
// session bus or a service, nothing is shown.
class DesktopNotifier {
public:
    // busAddress empty: the session bus.
    using Clicked = std::function<void(const std::string& subject)>;
    explicit DesktopNotifier(Clicked clicked, std::string busAddress = {});
    ~DesktopNotifier();
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // False when no service took it.
    bool notify(const std::string& summary, const std::string& body, std::string subject = {});

private:
    GDBusConnection* connection_ = nullptr;
    unsigned subscription_ = 0;
    Clicked clicked_;
    std::mutex mutex_;
    std::map<uint32_t, std::string> sent_; // ours by id, so another program's clicks are not ours
};

} // namespace korvel::platform
