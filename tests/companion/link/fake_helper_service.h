#pragma once

#include "platform/xpc/messages.h"
#include "platform/xpc/unix_socket.h"

#include <deque>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

namespace korvel::testing {

// A stand-in helper on a socket path, serving each request with the next
// scripted behaviour: a reply (data or nil), dropping the connection as a
// crashed helper would, or never answering. Unscripted requests get nil.
class FakeHelperService {
public:
    struct Crash {};
    struct Hang {};
    using Behaviour = std::variant<platform::xpc::Reply, Crash, Hang>;

    explicit FakeHelperService(const std::string& socketPath)
        : listenFd_(platform::xpc::listenUnixSocket(socketPath, true)),
          wakeFd_(::eventfd(0, EFD_CLOEXEC)) {
        thread_ = std::thread([this] { run(); });
    }
    ~FakeHelperService() {
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
        thread_.join();
        for (const auto& connection : connections_) {
            ::close(connection.fd);
        }
        ::close(listenFd_);
        ::close(wakeFd_);
    }

    bool listening() const { return listenFd_ >= 0; }

    void script(Behaviour behaviour) {
        std::lock_guard lock(mutex_);
        script_.push_back(std::move(behaviour));
    }

    std::vector<platform::xpc::Request> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    struct Peer {
        int fd;
        platform::xpc::FrameReader reader{platform::xpc::kMaxRequestBody};
    };

    void run() {
        for (;;) {
            std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
            for (const auto& connection : connections_) {
                fds.push_back({connection.fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0 || (fds[0].revents & POLLIN)) {
                return;
            }
            for (size_t i = connections_.size(); i-- > 0;) {
                if (fds[i + 2].revents != 0 && !serve(connections_[i])) {
                    ::close(connections_[i].fd);
                    connections_.erase(connections_.begin() + static_cast<long>(i));
                }
            }
            if (fds[1].revents & POLLIN) {
                const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0 && platform::xpc::sendAll(
                                   fd, std::string(1, platform::xpc::kAcceptGreeting))) {
                    connections_.push_back(Peer{fd});
                }
            }
        }
    }

    // False when the connection is to be dropped.
    bool serve(Peer& peer) {
        char buffer[4096];
        const ssize_t n = ::recv(peer.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        peer.reader.append(buffer, static_cast<size_t>(n));
        std::string body;
        while (peer.reader.next(body) == platform::xpc::FrameReader::Status::complete) {
            Behaviour behaviour = platform::xpc::Reply{};
            {
                std::lock_guard lock(mutex_);
                if (auto request = platform::xpc::decodeRequestBody(body)) {
                    requests_.push_back(*request);
                }
                if (!script_.empty()) {
                    behaviour = std::move(script_.front());
                    script_.pop_front();
                }
            }
            if (std::holds_alternative<Crash>(behaviour)) {
                return false;
            }
            if (const auto* reply = std::get_if<platform::xpc::Reply>(&behaviour)) {
                platform::xpc::sendAll(peer.fd, platform::xpc::encodeReplyFrame(*reply));
            }
        }
        return true;
    }

    const int listenFd_;
    const int wakeFd_;
    std::thread thread_;
    std::vector<Peer> connections_; // the service thread's, until it is joined
    std::mutex mutex_;
    std::deque<Behaviour> script_;
    std::vector<platform::xpc::Request> requests_;
};

} // namespace korvel::testing
