#include "companion/history/history_recorder.h"

#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/history/history_store.h"
#include "companion/usage/data_plan.h"
#include "platform/defaults/user_defaults.h"
#include "platform/log/failure_log.h"
#include "platform/log/report_line.h"
#include "platform/program/owned_directory.h"

#include <algorithm>
#include <atomic>
#include <sqlite3.h>

namespace korvel::history {
namespace {

// Readings waiting for the writer beyond this are dropped: their counters
// are cumulative, so the next one written still carries what they saw.
constexpr int kMostPending = 3;
// Readings at the user's period arrive a little early or late.
constexpr double kPeriodSlack = 0.25;

void say(const std::string& message) {
    platform::log::reportLine("Korvel: " + message);
}

} // namespace

struct HistoryRecorder::Writer {
    std::optional<HistoryPlace> place;
    std::unique_ptr<platform::InstanceLock> lock;
    std::unique_ptr<HistoryStore> store;
    // Tried again at every reading: another engine may stop, a directory
    // that could not be made may appear.
    platform::log::FailureLog unavailable{"Korvel: history is not recorded: ",
                                          "Korvel: the history is recorded"};
    bool stopped = false; // by a full disk
    int lastFailure = SQLITE_OK;
    // The database file as this writer last left it: only it writes there.
    std::optional<platform::FileIdentity> file;
    std::atomic<int> pending{0};
    std::unique_ptr<PlanWatch> plans; // none: nobody is told

    bool open() {
        std::string error = "no home directory is known";
        if (place && !lock) {
            lock = lockHistoryForWriting(*place, error);
        }
        auto db = lock ? openHistoryForWriting(*place, error, say) : std::nullopt;
        if (!db) {
            unavailable.failed(error);
            return false;
        }
        store = std::make_unique<HistoryStore>(std::move(*db));
        file = platform::fileIdentity(place->path());
        unavailable.succeeded();
        return true;
    }

    // A file truncated under the writer is lost to it and set aside; one
    // replaced or removed is simply what is there now.
    void noticeChangesUnderneath() {
        const auto now = platform::fileIdentity(place->path());
        if (!store || !file || (now && now->sameFile(*file) && now->size >= file->size)) {
            return;
        }
        store.reset();
        if (now && now->sameFile(*file)) {
            const auto movedTo = setHistoryAside(*place);
            say("the history file changed under the engine and was set aside" +
                (movedTo ? " as " + *movedTo : std::string()) + "; a new one is started");
        }
    }

    void record(const HistoryReading& reading, const HistoryLimits& limits,
                const std::vector<usage::DataPlan>& dataPlans, const AppAlert& appAlert) {
        noticeChangesUnderneath();
        if (!store && !open()) {
            return;
        }
        const int rc = store->record(reading, limits);
        store->checkpointIfDue();
        file = platform::fileIdentity(place->path());
        if (rc == SQLITE_OK) {
            stopped = false;
            lastFailure = SQLITE_OK;
            if (plans) {
                plans->afterWrite(store->database(), dataPlans, reading.time);
                plans->noteReading(reading, appAlert);
            }
        } else if (isDiskFull(rc)) {
            if (!stopped) {
                say("history recording stopped: the disk is full; it goes on when there is room");
            }
            stopped = true;
        } else if (rc != lastFailure) {
            say(isLockedByAnother(rc)
                    ? "history: a reading was not written: the history is "
                      "locked by another program"
                    : "history: a reading could not be written: " + describeResult(rc));
            lastFailure = rc;
        }
    }
};

HistoryRecorder::HistoryRecorder(const std::shared_ptr<KorvelManager>& manager,
                                 std::optional<HistoryPlace> place, platform::Dispatch& dispatch,
                                 const platform::UserDefaults& defaults,
                                 HostNames::Resolver resolver)
    : manager_(manager), writer_(std::make_shared<Writer>()),
      queue_(dispatch.makeSerialQueue("korvel.history")), resolver_(std::move(resolver)) {
    writer_->place = std::move(place);
    // The observer runs on the main queue and is removed before this goes.
    observer_ = manager->readingsMerged.observe([this, weak = manager_, writer = writer_,
                                                 queue = queue_, &dispatch, &defaults](uint64_t) {
        const auto self = weak.lock();
        if (!self ||
            !defaults.boolFor(settings::kHistoryEnabled, settings::kHistoryEnabledDefault)) {
            return;
        }
        // The history keeps the user's period: a window's half-second
        // readings would make it ten times larger. What a frame left out
        // used goes with the next one written.
        const FramePointer frame = self->frame.get();
        use_.add(*frame);
        const double now = dispatch.now();
        const auto period = static_cast<double>(self->refreshIntervalSetting());
        if ((lastRecorded_ && now - *lastRecorded_ < period - kPeriodSlack) ||
            writer->pending.load() >= kMostPending) {
            return;
        }
        lastRecorded_ = now;
        HistoryLimits limits;
        int64_t megabytes = defaults.integerFor(settings::kHistoryMaxMegabytes,
                                                settings::kHistoryMaxMegabytesDefault);
        if (megabytes < settings::kHistoryMaxMegabytesMinimum ||
            megabytes > settings::kHistoryMaxMegabytesMaximum) {
            megabytes = settings::kHistoryMaxMegabytesDefault;
        }
        limits.maxBytes = static_cast<uint64_t>(megabytes) << 20;
        std::unordered_map<std::string, std::string> names;
        if (defaults.boolFor(settings::kResolveHostnames, settings::kResolveHostnamesDefault)) {
            if (!hostNames_) {
                hostNames_ = std::make_unique<HostNames>(resolver_);
            }
            for (const NetProcess& process : frame->processes) {
                for (const NetConnection& socket : process.connections) {
                    if (socket.remotePort == 0 || names.contains(socket.remoteAddr)) {
                        continue;
                    }
                    if (auto name = hostNames_->name(socket.remoteAddr)) {
                        names.emplace(socket.remoteAddr, std::move(*name));
                    }
                }
            }
        }
        auto plans = usage::plansFrom(defaults.object(usage::kDataPlansKey).value_or(nullptr));
        const int64_t alertMegabytes =
            defaults.integerFor(settings::kAppAlertMegabytes, settings::kAppAlertMegabytesDefault);
        const AppAlert appAlert{
            static_cast<uint64_t>(std::max<int64_t>(alertMegabytes, 0)) * 1000 * 1000,
            60 *
                defaults.integerFor(settings::kAppAlertMinutes, settings::kAppAlertMinutesDefault)};
        ++writer->pending;
        queue->async([writer, limits, frame, names = std::move(names),
                      use = std::exchange(use_, {}), plans = std::move(plans), appAlert] {
            writer->record(use.reading(*frame, names), limits, plans, appAlert);
            --writer->pending;
        });
    });
}

void HistoryRecorder::watchPlans(PlanWatch::Outlets outlets) {
    queue_->async([writer = writer_, outlets = std::move(outlets)]() mutable {
        writer->plans = std::make_unique<PlanWatch>(std::move(outlets));
    });
}

HistoryRecorder::~HistoryRecorder() {
    if (const auto manager = manager_.lock()) {
        manager->readingsMerged.removeObserver(observer_);
    }
}

} // namespace korvel::history
