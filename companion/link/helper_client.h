#pragma once

#include "platform/log/logger.h"
#include "shared/helper_response.h"

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace korvel::platform::service {
class Connection;
}

namespace korvel {

// The companion's one link to the helper service. Keeps a connection across
// the helper's exits and restarts and turns every fetch into exactly one
// HelperResponse: the helper's reading, or the local fallback when anything
// on the way fails.
class HelperClient : public std::enable_shared_from_this<HelperClient> {
public:
    using ConnectionFactory = std::function<std::shared_ptr<platform::service::Connection>()>;
    // Runs work once, `seconds` from now, on some other thread.
    using Scheduler = std::function<void(double seconds, std::function<void()> work)>;
    using Completion = std::function<void(HelperResponse)>;

    static constexpr double kReconnectDelay = 0.5;

    // The process-wide instance, created (and connected) on first use and never released.
    static std::shared_ptr<HelperClient> shared();

    // A connected client. An empty scheduler means a sleeping detached thread
    // per reconnect.
    static std::shared_ptr<HelperClient> create(ConnectionFactory makeConnection,
                                                Scheduler schedule = {},
                                                platform::log::Logger log = linkLog());

    HelperClient(const HelperClient&) = delete;
    HelperClient& operator=(const HelperClient&) = delete;

    // Builds and starts a new connection and makes it the current one.
    void connect();

    // Asks the helper for one reading. `completion` runs exactly once: on the
    // calling thread when there is no connection (or it fails at once), else on
    // the connection's thread.
    void fetchData(bool showSystem, Completion completion);

    // The unified-log handle of the link: subsystem "qn.Korvel", category "XPC".
    static const platform::log::Logger& linkLog();

private:
    // Each kind of failure is logged once until a reading comes through, and
    // the first reading after a failure says so once: a helper that fails at
    // every refresh must not fill the log with the same lines.
    class QuietLog {
    public:
        explicit QuietLog(platform::log::Logger log) : logger_(std::move(log)) {}
        void failure(platform::log::Level level, const std::string& message);
        // Said only while nothing has failed: a reconnect after a failure is quiet.
        void info(const std::string& message);
        void debug(const std::string& message) const { logger_.debug(message); }
        void readingArrived();

    private:
        const platform::log::Logger logger_;
        std::mutex mutex_;
        std::set<std::string> failed_;
    };

    HelperClient(ConnectionFactory makeConnection, Scheduler schedule, platform::log::Logger log);

    void connectionInvalidated();

    const ConnectionFactory makeConnection_;
    const Scheduler schedule_;
    const std::shared_ptr<QuietLog> log_;
    std::shared_ptr<platform::service::Connection> connection_; // guarded by lock_
    std::mutex lock_;
};

// The reading used when the helper gives none: no processes or sockets, the
// companion's own interface counters and memory figures, taken now.
HelperResponse makeLocalFallbackResponse();

} // namespace korvel
