#include "companion/program/engine_session.h"

#include "companion/engine/command_notifications.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/export/textfile_export.h"
#include "companion/history/history_recorder.h"
#include "companion/link/advanced_snapshot.h"
#include "companion/program/status_line.h"
#include "platform/clock/absolute_time.h"
#include "platform/desktop/desktop_notifier.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/dispatch/termination_signals.h"
#include "platform/log/logger.h"
#include "platform/program/free_memory.h"
#include "platform/program/terminal.h"

#include <iostream>

namespace korvel {

EngineSession::EngineSession(const std::shared_ptr<KorvelManager>& manager,
                             std::function<void()> quit,
                             const std::optional<std::string>& textfileDirectory,
                             std::function<void(const std::string&)> showUsage)
    : manager_(manager) {
    platform::onEngineTerminationSignal(std::move(quit));

    // `korvel-companion defaults write autoRefreshInterval N` from another
    // shell: re-time the refresh the way a settings window would.
    auto& defaults = platform::UserDefaults::companion();
    defaults.startWatching();
    intervalObserver_ =
        defaults.addObserver(settings::kAutoRefreshInterval, [](const std::string&) {
            platform::NotificationCenter::forThisProcess().post(
                notifications::kRefreshIntervalChanged);
        });
    textfileExport_ = TextfileExport::forThisProgram(textfileDirectory);
    historyRecorder_ = std::make_unique<history::HistoryRecorder>(
        manager, history::historyPlace(), platform::liveDispatch(), defaults);
    notifier_ = std::make_shared<platform::DesktopNotifier>(std::move(showUsage));
    historyRecorder_->watchPlans({[notifier = notifier_](const history::Notice& notice) {
                                      // The journal keeps it for a machine nobody is looking at.
                                      platform::log::Logger("qn.Korvel", "DataUsage")
                                          .info(notice.summary + ". " + notice.body);
                                      notifier->notify(notice.summary, notice.body, notice.network);
                                  },
                                  textfileExport_->directorySource()});
    const bool statusLines = platform::standardOutputIsTerminal();
    if (statusLines) {
        const auto snapshot = advancedSnapshotURL();
        std::cout << "Korvel Companion is running; the advanced snapshot is published at\n  "
                  << (snapshot ? snapshot->string() : "(nowhere: no home directory is known)")
                  << "\nPress Ctrl-C to stop.\n"
                  << std::flush;
    }
    readingObserver_ = manager->readingsMerged.observe([this, statusLines](uint64_t) {
        const auto self = manager_.lock();
        if (!self) {
            return;
        }
        textfileExport_->publish(*self);
        if (statusLines) {
            std::cout << platform::localClockTime() << "  " << engineStatusLine(*self) << std::endl;
        }
        // Queued, so that it runs once the cycle has released the reading.
        // Not at a window's sub-second periods: the next cycle, a moment
        // later, would only fault the same pages back in.
        if (self->refreshPeriod() >= 1.0) {
            platform::liveDispatch().onMain(platform::returnFreeMemoryToSystem);
        }
    });
}

EngineSession::~EngineSession() {
    platform::UserDefaults::companion().removeObserver(intervalObserver_);
    if (const auto manager = manager_.lock()) {
        manager->readingsMerged.removeObserver(readingObserver_);
    }
}

} // namespace korvel
