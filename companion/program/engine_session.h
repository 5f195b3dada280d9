#pragma once

#include "platform/defaults/user_defaults.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel::platform {
class DesktopNotifier;
}

namespace korvel {

class KorvelManager;
class TextfileExport;
namespace history {
class HistoryRecorder;
}

// What every running engine does beside its manager, with windows or
// without: SIGINT and SIGTERM call quit (SIGHUP too, when started in the
// foreground of a terminal; otherwise it, SIGUSR1, SIGUSR2 and SIGALRM are
// ignored), a changed "autoRefreshInterval"
// (also one written by another process) re-times the refresh, and on a
// terminal it says where the snapshot goes and prints one status line per
// refresh; every merge goes to the Prometheus textfile when one is asked for
// and to the history. A data plan reaching its warning share or its cap is
// told on the desktop and in the journal; a click on that notification calls
// showUsage with the network, where there is a window to show.
// After each refresh the memory it freed goes back to the system.
// Main thread only.
class EngineSession {
public:
    // textfileDirectory: --prometheus-textfile-directory, in place of the setting.
    EngineSession(const std::shared_ptr<KorvelManager>& manager, std::function<void()> quit,
                  const std::optional<std::string>& textfileDirectory,
                  std::function<void(const std::string& network)> showUsage = {});
    ~EngineSession();
    EngineSession(const EngineSession&) = delete;
    EngineSession& operator=(const EngineSession&) = delete;

private:
    std::weak_ptr<KorvelManager> manager_;
    platform::DefaultsObserverToken intervalObserver_;
    std::shared_ptr<platform::DesktopNotifier> notifier_;
    std::unique_ptr<TextfileExport> textfileExport_;
    std::unique_ptr<history::HistoryRecorder> historyRecorder_;
    uint64_t readingObserver_ = 0;
};

} // namespace korvel
