#pragma once

#include "platform/service/messages.h"
#include "platform/service/unix_socket.h"

#include <deque>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

namespace korvel::testing {

// A stand-in helper on a socket path, serving one connection at a time and
// each request with the next scripted behaviour: a reply (data or nil),
// dropping the connection as a crashed helper would, or never answering.
// Unscripted requests get nil.
class FakeHelperService {
public:
    struct Crash {};
    struct Hang {};
    using Behaviour = std::variant<platform::service::Reply, Crash, Hang>;

    explicit FakeHelperService(const std::string& socketPath)
        : listenFd_(platform::service::listenUnixSocket(socketPath, true)) {
        thread_ = std::thread([this] { run(); });
    }
    ~FakeHelperService() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            if (peer_ >= 0) {
                ::shutdown(peer_, SHUT_RDWR);
            }
        }
        ::shutdown(listenFd_, SHUT_RDWR); // wakes accept
        thread_.join();
        ::close(listenFd_);
    }

    void script(Behaviour behaviour) {
        std::lock_guard lock(mutex_);
        script_.push_back(std::move(behaviour));
    }

    std::vector<platform::service::Request> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void run() {
        for (int fd; (fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            bool serving = false;
            {
                std::lock_guard lock(mutex_);
                serving = !stopping_;
                peer_ = serving ? fd : -1;
            }
            if (serving && platform::service::sendAll(
                               fd, std::string(1, platform::service::kAcceptGreeting))) {
                serve(fd);
            }
            std::lock_guard lock(mutex_);
            peer_ = -1;
            ::close(fd);
        }
    }

    // Returns when the peer hangs up or the script says to crash.
    void serve(int fd) {
        platform::service::FrameReader reader(platform::service::kMaxRequestBody);
        char buffer[4096];
        std::string body;
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            reader.append(buffer, static_cast<size_t>(n));
            while (reader.next(body) == platform::service::FrameReader::Status::complete) {
                Behaviour behaviour = platform::service::Reply{};
                {
                    std::lock_guard lock(mutex_);
                    if (auto request = platform::service::decodeRequestBody(body)) {
                        requests_.push_back(*request);
                    }
                    if (!script_.empty()) {
                        behaviour = std::move(script_.front());
                        script_.pop_front();
                    }
                }
                if (std::holds_alternative<Crash>(behaviour)) {
                    return;
                }
                if (const auto* reply = std::get_if<platform::service::Reply>(&behaviour)) {
                    platform::service::sendAll(fd, platform::service::encodeReplyFrame(*reply));
                }
            }
        }
    }

    const int listenFd_;
    std::thread thread_;
    std::mutex mutex_;
    bool stopping_ = false;
    int peer_ = -1; // the connection being served, so stopping can wake it
    std::deque<Behaviour> script_;
    std::vector<platform::service::Request> requests_;
};

} // namespace korvel::testing
