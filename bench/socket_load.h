#pragma once

// A socket load of our own: sleeping processes holding loopback connections.

#include "bench/loopback_address.h"

#include <chrono>
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvel::bench {

// Everything the load started, for the exit paths.
inline std::vector<pid_t> loadPids;

inline void endLoad() {
    for (const pid_t pid : loadPids) {
        ::kill(pid, SIGKILL);
    }
    for (const pid_t pid : loadPids) {
        ::waitpid(pid, nullptr, 0);
    }
    loadPids.clear();
}

// For SIGINT and friends: the load must not outlive the benchmark.
inline void endLoadAndExit(int) {
    for (const pid_t pid : loadPids) {
        ::kill(pid, SIGKILL);
    }
    ::_exit(130);
}

// One acceptor holding every accepted end; N clients of M IPv6 connections
// over ::ffff:127.0.0.1 and K UDP sockets each. All wait for SIGKILL. Call
// before the process starts threads: it forks.
inline bool startLoad(int processes, int connections, int udp) {
    const int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
    const int zero = 0;
    ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 any = mappedLoopback(0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        ::listen(listener, 4096) != 0) {
        return false;
    }
    socklen_t length = sizeof any;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&any), &length);
    const uint16_t port = ntohs(any.sin6_port);
    const pid_t acceptor = ::fork();
    if (acceptor == 0) {
        std::vector<int> held;
        for (;;) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                held.push_back(fd);
            }
        }
    }
    loadPids.push_back(acceptor);
    ::close(listener);
    int ready[2];
    if (::pipe(ready) != 0) {
        return false;
    }
    for (int i = 0; i < processes; ++i) {
        const pid_t client = ::fork();
        if (client == 0) {
            ::close(ready[0]);
            const sockaddr_in6 to = mappedLoopback(port);
            for (int c = 0; c < connections; ++c) {
                const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
                    ::_exit(2);
                }
            }
            for (int u = 0; u < udp; ++u) {
                const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
                ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
            (void)!::write(ready[1], "x", 1);
            for (;;) {
                ::pause();
            }
        }
        loadPids.push_back(client);
    }
    ::close(ready[1]);
    int arrived = 0;
    char buffer[256];
    for (ssize_t n; arrived < processes && (n = ::read(ready[0], buffer, sizeof buffer)) > 0;) {
        arrived += static_cast<int>(n);
    }
    ::close(ready[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the acceptor drains its queue
    return arrived == processes;
}

} // namespace korvel::bench
