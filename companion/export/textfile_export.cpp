#include "companion/export/textfile_export.h"

#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/export/korvel_metrics.h"
#include "platform/defaults/user_defaults.h"
#include "platform/program/owned_directory.h"
#include "platform/program/user_name.h"

namespace korvel {
namespace {

// node_exporter runs as its own user and only needs to read the file.
constexpr unsigned kReadableByOthers = 0644;

} // namespace

TextfileExport::TextfileExport(std::function<std::string()> directory)
    : directory_(std::move(directory)),
      failures_("Korvel: failed to write the Prometheus textfile: ",
                "Korvel: the Prometheus textfile is written again") {}

TextfileExport::~TextfileExport() = default;

std::unique_ptr<TextfileExport>
TextfileExport::forThisProgram(const std::optional<std::string>& commandLineDirectory) {
    if (commandLineDirectory) {
        return std::make_unique<TextfileExport>([fixed = *commandLineDirectory] { return fixed; });
    }
    return std::make_unique<TextfileExport>([] {
        return platform::UserDefaults::companion().stringFor(
            settings::kPrometheusTextfileDirectory, settings::kPrometheusTextfileDirectoryDefault);
    });
}

void TextfileExport::publish(const KorvelManager& manager) {
    const std::string folder = directory_();
    if (!writtenDirectory_.empty() && writtenDirectory_ != folder) {
        // Through the same checks as a write: a link put there since never
        // leads the removal elsewhere.
        std::string ignored;
        if (const auto previous = platform::OwnedDirectory::openPath(writtenDirectory_, ignored)) {
            previous->removeFile(kFileName);
        }
        writtenDirectory_.clear();
    }
    if (folder.empty()) {
        return;
    }
    const FramePointer frame = manager.frame.get();
    exporter::MetricsInput input;
    input.frame = frame.get();
    input.readingDurationSeconds = manager.lastReadingDuration();
    input.userName = platform::userName;
    const std::string text =
        exporter::renderExposition(exporter::collectKorvelMetrics(input, groupCounters_));

    // Opened afresh each time, so that a link put in the directory's place
    // is refused from the next write on.
    std::string error;
    const auto directory = platform::OwnedDirectory::openPath(folder, error);
    if (directory && sweptDirectory_ != folder) {
        // This engine is the only writer of its own directory: whatever a
        // write cut short left behind goes, however recent.
        directory->removeStaleTemporaries(kFileName, 0);
        sweptDirectory_ = folder;
    }
    if (directory && directory->replaceFile(kFileName, text, error, kReadableByOthers)) {
        writtenDirectory_ = folder;
        failures_.succeeded();
    } else {
        failures_.failed(error);
    }
}

} // namespace korvel
