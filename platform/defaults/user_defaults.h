#pragma once

#include "platform/defaults/defaults_file.h"
#include "platform/dispatch/dispatch.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform {

// The application's own domain, its bundle identifier.
inline constexpr const char* kStandardDefaultsDomain = "qn.Korvel.companion";

struct DefaultsObserverToken {
    uint64_t id = 0;
};

// One domain of typed user settings, kept as a JSON object in one file
// (defaults::defaultsFilePath(domain), i.e. $XDG_CONFIG_HOME/<domain>/
// defaults.json). Values keep their JSON type: the typed getters return the
// fallback for an absent key and for a value of another type, so the string
// "false" is not the Boolean false.
//
// The file is the truth. Every read first checks whether the file changed on
// disk (another process, such as `korvel-companion defaults write`) and
// reloads it if so; startWatching() makes that check on a timer so observers
// hear about such changes without anyone reading. A write that changes
// nothing touches nothing; other writes lock the directory, merge into the
// file's current contents and replace the file atomically.
//
// A file that was read and is not a JSON object (or nests deeper than any
// settings do) reads as empty and is left alone until the first write, which
// moves it aside to "<file>.corrupt-<time>" and says so on stderr. A file
// that cannot be read (permissions, I/O error, size) is never judged: the
// values last read stay, nothing is written over it, and the first refused
// save says why on stderr.
//
// Thread-safe. Observers run on the main queue of the given Dispatch.
class UserDefaults {
public:
    using ChangeObserver = std::function<void(const std::string& key)>;

    // An empty filePath keeps values in memory only; every save then fails.
    // The dispatch must outlive the store.
    UserDefaults(std::string domain, std::string filePath, Dispatch& dispatch);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The application's store: kStandardDefaultsDomain at its usual path,
    // observers on liveDispatch(). Created on first use, kept until exit.
    static UserDefaults& companion();

    const std::string& domain() const { return domain_; }
    const std::string& filePath() const { return filePath_; }

    // The stored value, whatever its type.
    std::optional<nlohmann::json> object(std::string_view key) const;
    // JSON true/false only.
    bool boolFor(std::string_view key, bool fallback) const;
    // JSON integers that fit in 64 signed bits; 10.0 is a double, not one.
    int64_t integerFor(std::string_view key, int64_t fallback) const;
    // Any JSON number.
    double doubleFor(std::string_view key, double fallback) const;
    std::string stringFor(std::string_view key, std::string_view fallback) const;
    // The whole domain as a JSON object.
    nlohmann::json dictionary() const;
    // The file was read and is not a valid settings file.
    bool fileIsDamaged() const;
    // Why the file exists but could not be read; empty when it could.
    std::string readError() const;

    // Stores the value (a JSON null removes the key) and saves. False when
    // saving failed; the value is kept in memory all the same and lastError()
    // says why.
    bool set(std::string_view key, nlohmann::json value);
    bool setBool(std::string_view key, bool value) { return set(key, value); }
    bool setInteger(std::string_view key, int64_t value) { return set(key, value); }
    bool setString(std::string_view key, std::string_view value) {
        return set(key, std::string(value));
    }
    bool remove(std::string_view key);
    std::string lastError() const;

    // Like set(), for the main loop: never waits for another process's lock.
    // While the store is locked the value is kept and saved from the main
    // queue as soon as the lock is free.
    void setWithoutWaiting(std::string_view key, nlohmann::json value);

    // Called with the key after it changed through this store or on disk.
    // An empty key observes every key. Any thread.
    DefaultsObserverToken addObserver(std::string key, ChangeObserver observer);
    void removeObserver(DefaultsObserverToken token);

    // Checks the file for outside changes every pollSeconds on the main queue.
    // Call on the main thread; the store must be destroyed there too.
    void startWatching(double pollSeconds = 1.0);

private:
    struct Observer;
    using Changes = std::vector<std::string>;

    enum class Save { saved, busy, failed };

    void refreshLocked(Changes& changes) const;
    bool store(std::string_view key, std::optional<nlohmann::json> value, bool wait);
    Save saveLocked(bool wait, Changes& changes);
    void retryPendingSave();
    void notify(const Changes& changes) const;
    // Calls read with the file's current contents loaded, then tells the
    // observers what that loading changed.
    template <typename Read> auto readCurrent(Read read) const;
    template <typename T, typename Get>
    T readTyped(std::string_view key, T fallback, Get get) const;

    const std::string domain_;
    const std::string filePath_;
    Dispatch& dispatch_;

    mutable std::mutex mutex_;
    mutable nlohmann::json values_ = nlohmann::json::object();
    mutable defaults::FileStamp stamp_;
    mutable bool loaded_ = false;
    mutable bool damaged_ = false;
    mutable std::string readError_;
    mutable bool warnedAboutReadError_ = false;
    std::string lastError_;
    // Changes not yet on disk, laid over whatever the file holds.
    mutable std::map<std::string, std::optional<nlohmann::json>, std::less<>> pending_;
    std::unique_ptr<DispatchTimer> retryTimer_;

    mutable std::mutex observersMutex_;
    std::vector<std::shared_ptr<Observer>> observers_;
    uint64_t nextObserverId_ = 1;

    std::unique_ptr<DispatchTimer> watchTimer_;
};

} // namespace korvel::platform
