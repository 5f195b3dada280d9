#include "companion/cli/engine_session.h"

#include "companion/cli/status_line.h"
#include "companion/engine/command_notifications.h"
#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/export/textfile_export.h"
#include "companion/history/history_recorder.h"
#include "companion/link/advanced_snapshot.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/dispatch/termination_signals.h"
#include "platform/system/absolute_time.h"
#include "platform/system/free_memory.h"
#include "platform/system/terminal.h"

#include <iostream>

namespace korvel {

EngineSession::EngineSession(const std::shared_ptr<KorvelManager>& manager,
                             std::function<void()> quit) {
    platform::onEngineTerminationSignal(std::move(quit));

    // `korvel-companion defaults write autoRefreshInterval N` from another
    // shell: re-time the refresh the way a settings window would.
    auto& defaults = platform::UserDefaults::standard();
    defaults.startWatching();
    intervalObserver_ =
        defaults.addObserver(settings::kAutoRefreshInterval, [](const std::string&) {
            platform::NotificationCenter::defaultCenter().post(
                notifications::kRefreshIntervalChanged);
        });
    textfileExport_ = TextfileExport::forThisProgram();
    exportObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        notifications::kMenuBarDataRefreshed,
        [weak = std::weak_ptr<KorvelManager>(manager), this](const platform::Notification&) {
            if (auto self = weak.lock()) {
                textfileExport_->publish(*self);
            }
        });
    // Queued, so that it runs once the cycle has released the reading.
    trimObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        notifications::kMenuBarDataRefreshed, [](const platform::Notification&) {
            platform::liveDispatch().mainAsync(platform::returnFreeMemoryToSystem);
        });
    historyRecorder_ = std::make_unique<history::HistoryRecorder>(manager, history::historyPlace(),
                                                                  platform::liveDispatch());
    if (platform::standardOutputIsTerminal()) {
        const auto snapshot = advancedSnapshotURL();
        std::cout << "Korvel Companion is running; the advanced snapshot is published at\n  "
                  << (snapshot ? snapshot->string() : "(nowhere: no home directory is known)")
                  << "\nPress Ctrl-C to stop.\n"
                  << std::flush;
        std::weak_ptr<KorvelManager> weak = manager;
        statusObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
            notifications::kMenuBarDataRefreshed, [weak](const platform::Notification&) {
                if (auto self = weak.lock()) {
                    std::cout << platform::localClockTime() << "  " << engineStatusLine(*self)
                              << std::endl;
                }
            });
    }
}

EngineSession::~EngineSession() {
    platform::UserDefaults::standard().removeObserver(intervalObserver_);
    platform::NotificationCenter::defaultCenter().removeObserver(statusObserver_);
    platform::NotificationCenter::defaultCenter().removeObserver(exportObserver_);
    platform::NotificationCenter::defaultCenter().removeObserver(trimObserver_);
}

} // namespace korvel
