#pragma once

#include "companion/export/process_group_counters.h"
#include "platform/log/failure_log.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

class KorvelManager;

// Publishes the model for node_exporter's textfile collector: after every
// merge, <directory>/korvel.prom is replaced whole (temporary file beside it,
// then rename), readable by the exporter's own user. The directory is the
// command line's, else the "prometheusTextfileDirectory" setting, read on
// every merge; empty means off, and switching off or moving removes the file
// this process wrote. It must be ours, with no link on its path: anything
// else is refused (once in the log, until it is mended). When the helper
// gives no data the file stays and says so, since Prometheus alerts on a
// file that stops changing.
class TextfileExport {
public:
    static constexpr const char* kFileName = "korvel.prom";

    // directory is asked on every publish; empty means off.
    explicit TextfileExport(std::function<std::string()> directory);
    // The command line's directory, else the setting.
    static std::unique_ptr<TextfileExport>
    forThisProgram(const std::optional<std::string>& commandLineDirectory);
    ~TextfileExport();
    TextfileExport(const TextfileExport&) = delete;
    TextfileExport& operator=(const TextfileExport&) = delete;

    void publish(const KorvelManager& manager);
    // Where the file goes, asked afresh each time: for files written beside it.
    const std::function<std::string()>& directorySource() const { return directory_; }

private:
    std::function<std::string()> directory_;
    std::string writtenDirectory_;
    std::string sweptDirectory_;
    exporter::ProcessGroupCounters groupCounters_;
    platform::log::FailureLog failures_;
};

} // namespace korvel
