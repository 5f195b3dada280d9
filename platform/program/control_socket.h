#pragma once

#include "platform/dispatch/dispatch.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace korvel::platform {

// A local command line between starts of one program: a later start sends one
// short line to the running process and reads one line back. Only processes
// of our own uid are answered.
class ControlSocketServer {
public:
    // Receives a command (without its newline) and returns the answer.
    using Handler = std::function<std::string(const std::string& command)>;

    // Binds the Unix socket at path and serves it on a thread of its own; each
    // command is answered by handler on the dispatch's main queue. A socket
    // file already at path is replaced, so call this only while holding the
    // lock that makes this process the one that serves it. No value, and
    // error set, when the socket cannot be bound. The dispatch must outlive
    // the server.
    static std::unique_ptr<ControlSocketServer> listen(const std::string& path, Dispatch& dispatch,
                                                       Handler handler, std::string& error);

    // Call on the main queue. Commands not yet answered get no answer; the
    // socket file is removed.
    ~ControlSocketServer();
    ControlSocketServer(const ControlSocketServer&) = delete;
    ControlSocketServer& operator=(const ControlSocketServer&) = delete;

    // Longest command read; the rest of a longer line is ignored.
    static constexpr size_t kMaxCommandLength = 256;

    struct State;

private:
    ControlSocketServer(std::string path, int listenFd, int stopFd, std::shared_ptr<State> state);

    std::string path_;
    int listenFd_;
    int stopFd_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Sends one command to the server at path and returns its one-line answer.
// Keeps trying to connect until the deadline, since the server may have just
// taken its lock and not yet bound the socket. No value, and error set, when
// nobody answered in time.
std::optional<std::string> sendControlCommand(const std::string& path, const std::string& command,
                                              std::chrono::milliseconds timeout,
                                              std::string& error);

} // namespace korvel::platform
