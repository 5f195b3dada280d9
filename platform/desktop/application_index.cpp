#include "platform/desktop/application_index.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <tuple>

namespace korvel::platform::desktop {
namespace {

namespace fs = std::filesystem;

struct EntryFile {
    std::string id;
    std::string path;
};

// The .desktop files under one applications directory with their IDs
// ("kde/viewer.desktop" is "kde-viewer.desktop"), sorted by ID.
std::vector<EntryFile> entryFiles(const std::string& dir) {
    std::vector<EntryFile> files;
    std::error_code error;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        const auto& path = it->path();
        if (path.extension() != ".desktop" || !it->is_regular_file(error)) {
            continue;
        }
        auto id = path.lexically_relative(dir).string();
        std::replace(id.begin(), id.end(), '/', '-');
        files.push_back({std::move(id), path.string()});
    }
    std::ranges::sort(files, {}, &EntryFile::id);
    return files;
}

bool preferred(const DesktopEntry& a, const DesktopEntry& b) {
    return std::tie(a.noDisplay, a.directoryRank, a.id) <
           std::tie(b.noDisplay, b.directoryRank, b.id);
}

} // namespace

ApplicationIndex ApplicationIndex::build(const XdgEnvironment& environment) {
    ApplicationIndex index;
    std::set<std::string> claimedIDs;
    for (size_t rank = 0; rank < environment.applicationDirs.size(); ++rank) {
        for (const auto& file : entryFiles(environment.applicationDirs[rank])) {
            if (!claimedIDs.insert(file.id).second) {
                continue;
            }
            if (auto entry = readDesktopEntry(file.path, file.id, rank, environment.locales,
                                              environment.searchPath)) {
                index.entries_.push_back(std::move(*entry));
            }
        }
    }
    for (size_t i = 0; i < index.entries_.size(); ++i) {
        for (const auto& program : index.entries_[i].programs) {
            const auto [slot, inserted] = index.byProgram_.try_emplace(program, i);
            if (!inserted && preferred(index.entries_[i], index.entries_[slot->second])) {
                slot->second = i;
            }
        }
    }
    return index;
}

const DesktopEntry* ApplicationIndex::find(std::string_view executablePath) const {
    constexpr std::string_view kDeleted = " (deleted)";
    if (executablePath.ends_with(kDeleted)) {
        executablePath.remove_suffix(kDeleted.size());
    }
    const auto found = byProgram_.find(std::string(executablePath));
    return found == byProgram_.end() ? nullptr : &entries_[found->second];
}

} // namespace korvel::platform::desktop
