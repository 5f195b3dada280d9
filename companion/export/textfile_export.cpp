#include "companion/export/textfile_export.h"

#include "companion/engine/korvel_manager.h"
#include "companion/engine/settings_keys.h"
#include "companion/export/korvel_metrics.h"
#include "platform/defaults/defaults_file.h"
#include "platform/defaults/user_defaults.h"
#include "platform/log/ns_log.h"
#include "platform/system/cpu_load.h"
#include "platform/system/roots.h"
#include "platform/system/user_name.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace korvel {
namespace {

// node_exporter runs as its own user and only needs to read the file.
constexpr unsigned kReadableByOthers = 0644;

std::optional<std::string>& commandLineDirectory() {
    static std::optional<std::string> directory;
    return directory;
}

double unixNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

} // namespace

TextfileExport::TextfileExport(std::function<std::string()> directory)
    : directory_(std::move(directory)) {}

TextfileExport::~TextfileExport() = default;

std::unique_ptr<TextfileExport> TextfileExport::forThisProgram() {
    if (auto fixed = commandLineDirectory()) {
        return std::make_unique<TextfileExport>([fixed = *fixed] { return fixed; });
    }
    return std::make_unique<TextfileExport>([] {
        return platform::UserDefaults::standard().stringFor(
            settings::kPrometheusTextfileDirectory, settings::kPrometheusTextfileDirectoryDefault);
    });
}

void TextfileExport::setCommandLineDirectory(std::string directory) {
    commandLineDirectory() = std::move(directory);
}

void TextfileExport::publish(const KorvelManager& manager) {
    const std::string folder = directory_();
    const std::string path = folder.empty() ? "" : folder + "/" + kFileName;
    if (!writtenPath_.empty() && writtenPath_ != path) {
        std::error_code ignored;
        std::filesystem::remove(writtenPath_, ignored);
        writtenPath_.clear();
    }
    if (path.empty()) {
        return;
    }
    const auto processes = manager.processes.get();
    const auto interfaces = manager.allInterfaceStats.get();
    const auto system = manager.systemStats.get();
    exporter::MetricsInput input;
    input.processes = &processes;
    input.interfaces = &interfaces;
    input.system = &system;
    input.loadAverages = platform::readLoadAverages(platform::kLiveProcRoot);
    input.helperUp = manager.dataMode.get() == DataAcquisitionMode::helperFull;
    input.readingDurationSeconds = manager.lastReadingDuration();
    input.readingTimeUnixSeconds = unixNow();
    input.userName = platform::userName;
    const std::string text = exporter::renderExposition(exporter::collectKorvelMetrics(input));

    std::string error;
    platform::defaults::FileStamp written;
    if (platform::defaults::replaceFile(path, text, written, error, kReadableByOthers)) {
        writtenPath_ = path;
        lastError_.clear();
    } else if (error != lastError_) {
        // Once per distinct failure, not once per refresh.
        platform::log::nsLog("Korvel: failed to write the Prometheus textfile: " + error);
        lastError_ = error;
    }
}

} // namespace korvel
