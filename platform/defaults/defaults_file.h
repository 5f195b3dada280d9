#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::platform::defaults {

// What a file on disk was when last looked at. Our own saves always make a
// new inode, so any difference means somebody changed the file (its mode
// included, through the change time).
struct FileStamp {
    bool exists = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNanos = 0;
    int64_t changedNanos = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp stampFile(const std::string& path);

enum class ReadResult { ok, missing, failed };

// Reads the whole regular file, refusing anything else and files larger
// than maxBytes (failed, with the reason in error).
ReadResult readWholeFile(const std::string& path, size_t maxBytes, std::string& contents,
                         std::string& error);

// Creates the directory and any missing parents, new ones private to the user.
bool ensureDirectory(const std::string& path, std::string& error);

// An exclusive advisory lock on a directory, so processes that share a store
// do not interleave their read-modify-write cycles. Held until destruction.
// Without wait, a lock someone else holds is not waited for: held() is false.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& directory, bool wait = true);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

    bool held() const { return held_; }
    // Not held because another holds it (not because the directory failed).
    bool busy() const { return busy_; }

private:
    int fd_ = -1;
    bool held_ = false;
    bool busy_ = false;
};

// Writes contents to a new private file beside path, flushes it to disk and
// renames it over path, so a reader sees the old file or the new one, whole.
// On success written describes the new file, private to the user; on
// failure path is untouched.
bool replaceFile(const std::string& path, std::string_view contents, FileStamp& written,
                 std::string& error);

// Renames from to "<from>.corrupt-<UTC time>" (with "-2", "-3"... when that
// name is taken), never over an existing file. The new path, or empty and
// a reason in error.
std::string moveAside(const std::string& from, std::string& error);

} // namespace korvel::platform::defaults
