#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::platform {

// A directory reached one component at a time without following a symlink,
// each component a directory of ours that nobody else may write to, so that
// another user cannot redirect what we write through it. The handle stays
// valid however the path is renamed meanwhile.
class OwnedDirectory {
public:
    // base itself is followed when followBase is set (a home directory may be
    // a link); every component of relative ('/'-separated) never is. With
    // create, missing components are made private to us. No value, and a
    // reason in error, when a step is missing, not a directory or not ours.
    static std::optional<OwnedDirectory> open(const std::string& base, std::string_view relative,
                                              bool followBase, bool create, std::string& error);

    OwnedDirectory(OwnedDirectory&& other) noexcept;
    ~OwnedDirectory();

    // Writes contents to a new private file "<name>.XXXXXX" here and renames
    // it over name: a reader sees the old file or the new one, whole. A
    // symlink at name is replaced, never followed. Nothing is flushed to disk:
    // what lives here is a reading rewritten every few seconds, and a flush
    // each time would keep a laptop's disk busy for no reader's gain.
    bool replaceFile(std::string_view name, std::string_view contents, std::string& error) const;
    // An absent file, or one that cannot be removed, is ignored: no caller acts on it.
    void removeFile(std::string_view name) const;
    // Removes leftovers "<name>.XXXXXX" of writes that never finished: our
    // own regular files at least minimumAgeSeconds old. Returns how many.
    int removeStaleTemporaries(std::string_view name, double minimumAgeSeconds) const;

private:
    explicit OwnedDirectory(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The same sweep on a directory given by path; none when it cannot be opened.
int removeStaleTemporaries(const std::string& directory, std::string_view name,
                           double minimumAgeSeconds);

enum class Ownership { missing, ours, foreign };

// ours: path is a directory of ours, not a symlink, that nobody else may
// write to; foreign: anything else that is there.
Ownership directoryOwnership(const std::string& path);

} // namespace korvel::platform
