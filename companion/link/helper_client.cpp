#include "companion/link/helper_client.h"

#include "companion/link/helper_connection.h"
#include "platform/clock/absolute_time.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/service/connection.h"
#include "platform/system/interface_counters.h"
#include "platform/system/memory_figures.h"
#include "shared/helper_protocol.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace korvel {
namespace {

void sleepingThreadSchedule(double seconds, std::function<void()> work) {
    std::thread([seconds, work = std::move(work)] {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        work();
    }).detach();
}

} // namespace

HelperResponse makeLocalFallbackResponse() {
    HelperResponse response;
    response.interfaces = interfaceRows(platform::readInterfaceCounters());
    response.timestamp = platform::secondsSince2001();
    const platform::MemoryFigures memory = platform::readMemoryFigures();
    response.totalRam = memory.total;
    response.usedRam = memory.used;
    response.freeRam = memory.free;
    response.memPressureLevel = memory.level;
    return response;
}

const platform::log::Logger& HelperClient::linkLog() {
    static const platform::log::Logger handle("qn.Korvel", "XPC");
    return handle;
}

std::shared_ptr<HelperClient> HelperClient::shared() {
    // Leaked on purpose: replies and reconnects may still be under way on
    // other threads while the process exits.
    static const auto* instance = new std::shared_ptr<HelperClient>(
        create([] { return makeHelperConnection(); },
               [](double seconds, std::function<void()> work) {
                   platform::liveDispatch().inBackgroundAfter(seconds, std::move(work));
               }));
    return *instance;
}

std::shared_ptr<HelperClient> HelperClient::create(ConnectionFactory makeConnection,
                                                   Scheduler schedule, platform::log::Logger log) {
    std::shared_ptr<HelperClient> client(new HelperClient(
        std::move(makeConnection),
        schedule ? std::move(schedule) : Scheduler(sleepingThreadSchedule), std::move(log)));
    client->connect();
    return client;
}

HelperClient::HelperClient(ConnectionFactory makeConnection, Scheduler schedule,
                           platform::log::Logger log)
    : makeConnection_(std::move(makeConnection)), schedule_(std::move(schedule)),
      log_(std::make_shared<QuietLog>(std::move(log))) {}

void HelperClient::QuietLog::failure(platform::log::Level level, const std::string& message) {
    std::unique_lock lock(mutex_);
    if (failed_.insert(message).second) {
        lock.unlock();
        logger_.log(level, message);
    }
}

void HelperClient::QuietLog::info(const std::string& message) {
    std::unique_lock lock(mutex_);
    if (failed_.empty()) {
        lock.unlock();
        logger_.info(message);
    }
}

void HelperClient::QuietLog::readingArrived() {
    std::unique_lock lock(mutex_);
    if (!failed_.empty()) {
        failed_.clear();
        lock.unlock();
        logger_.info("fetchData: the helper answers again");
    }
}

void HelperClient::connect() {
    auto connection = makeConnection_();
    std::weak_ptr<HelperClient> weakSelf = weak_from_this();
    connection->setInvalidationHandler([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->connectionInvalidated();
        }
    });
    connection->setInterruptionHandler(
        [log = log_] { log->failure(platform::log::Level::fault, "XPC connection interrupted"); });
    connection->resume();
    {
        std::lock_guard guard(lock_);
        std::swap(connection_, connection);
    }
    // The replaced connection, if any, is released here, outside the lock.
    connection.reset();
    log_->info("XPC connection created");
}

void HelperClient::connectionInvalidated() {
    log_->failure(platform::log::Level::error, "XPC connection invalidated");
    std::shared_ptr<platform::service::Connection> released;
    {
        std::lock_guard guard(lock_);
        released = std::exchange(connection_, nullptr);
    }
    released.reset(); // outside the lock
    std::weak_ptr<HelperClient> weakSelf = weak_from_this();
    schedule_(kReconnectDelay, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->connect();
        }
    });
}

void HelperClient::fetchData(bool showSystem, Completion completion) {
    std::shared_ptr<platform::service::Connection> connection;
    {
        std::lock_guard guard(lock_);
        connection = connection_;
    }
    if (!connection) {
        log_->failure(platform::log::Level::error, "fetchData: no connection");
        completion(makeLocalFallbackResponse());
        return;
    }

    // The connection promises one outcome per request; the flag keeps the
    // promise here too, since a second call would reach the manager twice.
    struct Request {
        Completion completion;
        std::atomic<bool> finished{false};
        void finish(std::optional<HelperResponse> response) {
            if (finished.exchange(true)) {
                return;
            }
            completion(response ? std::move(*response) : makeLocalFallbackResponse());
        }
    };
    auto request = std::make_shared<Request>();
    request->completion = std::move(completion);

    connection->send(
        {kFetchDataSelector, showSystem},
        [request, log = log_](platform::service::Reply data) {
            if (data) {
                if (auto response = decodeHelperResponse(*data)) {
                    response->source.text = std::make_shared<const std::string>(std::move(*data));
                    log->debug("fetchData: got " + std::to_string(response->processes.size()) +
                               " processes");
                    log->readingArrived();
                    request->finish(std::move(response));
                    return;
                }
            }
            log->failure(platform::log::Level::error,
                         std::string("fetchData: decode failed (data nil: ") + (data ? "0" : "1") +
                             ")");
            request->finish(std::nullopt);
        },
        [request, log = log_](const std::string& description) {
            log->failure(platform::log::Level::error, "XPC remote error: " + description);
            request->finish(std::nullopt);
        });
}

} // namespace korvel
