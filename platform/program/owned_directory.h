#pragma once

#include <cstdint>
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

    // A directory named by a path (relative ones from the working directory),
    // no component of which may be a symlink, that must be ours: a root
    // process owns root's directories. Nothing is created.
    static std::optional<OwnedDirectory> openPath(const std::string& path, std::string& error);

    OwnedDirectory(OwnedDirectory&& other) noexcept;
    ~OwnedDirectory();

    // Writes contents to a new file "<name>.XXXXXX" here, with mode, and
    // renames it over name: a reader sees the old file or the new one, whole. A
    // symlink at name is replaced, never followed. Nothing is flushed to disk:
    // what lives here is a reading rewritten every few seconds, and a flush
    // each time would keep a laptop's disk busy for no reader's gain.
    bool replaceFile(std::string_view name, std::string_view contents, std::string& error,
                     unsigned mode = 0600) const;
    // False when there was nothing to remove or it could not be removed.
    bool removeFile(std::string_view name) const;
    // Makes name here a regular file of ours that only we can read or write,
    // creating it empty when missing. False, with a reason, when it is a link
    // or anything but our own regular file: it is then left alone.
    bool preparePrivateFile(std::string_view name, std::string& error) const;
    // What lies at name here, not following a link: foreign is anything but
    // a regular file of ours (a pipe, a device, a link, another's file).
    enum class Entry { missing, ours, foreign };
    Entry holds(std::string_view name) const;
    // Renames name to newName here, never over an existing newName. False when
    // name is missing or newName exists.
    bool moveAside(std::string_view name, std::string_view newName) const;
    // Takes away every permission but the owner's.
    bool makePrivate() const;
    // Removes leftovers "<name>.XXXXXX" of writes that never finished: our
    // own regular files at least minimumAgeSeconds old (0: all of them, for
    // the only writer, when it starts). Returns how many.
    int removeStaleTemporaries(std::string_view name, double minimumAgeSeconds) const;

private:
    explicit OwnedDirectory(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The same sweep on a directory given by path; none when it cannot be opened.
int removeStaleTemporaries(const std::string& directory, std::string_view name,
                           double minimumAgeSeconds);

// Names one file for as long as it exists, with its size: a file replaced
// under a name has another identity, one truncated a smaller size.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    bool sameFile(const FileIdentity& other) const {
        return device == other.device && inode == other.inode;
    }
};
// None when nothing is there (a link is not followed).
std::optional<FileIdentity> fileIdentity(const std::string& path);

enum class Ownership { missing, ours, foreign };

// ours: path is a directory of ours, not a symlink, that nobody else may
// write to; foreign: anything else that is there.
Ownership directoryOwnership(const std::string& path);

} // namespace korvel::platform
