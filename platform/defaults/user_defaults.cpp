#include "platform/defaults/user_defaults.h"

#include "platform/defaults/defaults_path.h"
#include "platform/dispatch/glib_dispatch.h"
#include "platform/program/owned_directory.h"

#include <atomic>
#include <iostream>
#include <limits>
#include <set>

namespace korvel::platform {

namespace {

// Far beyond any settings file; a bigger one is not read at all.
constexpr size_t kMaxFileBytes = 16 * 1024 * 1024;
// Far beyond any settings value. Parsing, comparing and printing JSON each
// recurse once per level, so a deeper file could overflow the stack.
constexpr size_t kMaxNesting = 64;
// How soon a save that found the store locked tries again.
constexpr double kRetrySeconds = 1.0;

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Counted on the text, without recursion: brackets inside strings do not count.
bool nestsDeeperThan(std::string_view text, size_t limit) {
    size_t depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// A JSON null stands for no value: storing it removes the key.
std::optional<nlohmann::json> unlessNull(nlohmann::json value) {
    return value.is_null() ? std::nullopt : std::optional(std::move(value));
}

void applyChange(nlohmann::json& values, std::string_view key,
                 const std::optional<nlohmann::json>& value) {
    if (value) {
        values[std::string(key)] = *value;
    } else {
        values.erase(std::string(key));
    }
}

void collectDifferences(const nlohmann::json& before, const nlohmann::json& after,
                        std::vector<std::string>& changes) {
    std::set<std::string> keys;
    for (const auto& [key, value] : before.items()) {
        keys.insert(key);
    }
    for (const auto& [key, value] : after.items()) {
        keys.insert(key);
    }
    for (const auto& key : keys) {
        const auto a = before.find(key);
        const auto b = after.find(key);
        const bool inBefore = a != before.end();
        const bool inAfter = b != after.end();
        if (inBefore != inAfter || (inBefore && *a != *b)) {
            changes.push_back(key);
        }
    }
}

} // namespace

struct UserDefaults::Observer {
    uint64_t id;
    std::string key;
    ChangeObserver callback;
    std::atomic<bool> active{true};
};

UserDefaults::UserDefaults(std::string domain, std::string filePath, Dispatch& dispatch)
    : domain_(std::move(domain)), filePath_(std::move(filePath)), dispatch_(dispatch) {
    if (!filePath_.empty()) {
        // Leftovers of saves cut short; a save under way would hold the lock.
        const std::string directory = directoryOf(filePath_);
        const defaults::DirectoryLock lock(directory, false);
        if (lock.held()) {
            removeStaleTemporaries(directory, fileNameOf(filePath_), 0);
        }
    }
}

UserDefaults& UserDefaults::companion() {
    static auto* store =
        new UserDefaults(kStandardDefaultsDomain,
                         defaults::defaultsFilePath(kStandardDefaultsDomain), liveDispatch());
    return *store;
}

UserDefaults::~UserDefaults() {
    watchTimer_.reset();
    retryTimer_.reset();
    std::lock_guard lock(observersMutex_);
    for (const auto& observer : observers_) {
        observer->active = false;
    }
}

void UserDefaults::refreshLocked(Changes& changes) const {
    if (filePath_.empty()) {
        loaded_ = true;
        return;
    }
    const defaults::FileStamp stamp = defaults::stampFile(filePath_);
    if (loaded_ && stamp == stamp_) {
        return;
    }
    nlohmann::json fresh = nlohmann::json::object();
    bool damaged = false;
    std::string contents;
    std::string error;
    switch (defaults::readWholeFile(filePath_, kMaxFileBytes, contents, error)) {
    case defaults::ReadResult::missing:
        break;
    case defaults::ReadResult::failed:
        // Unread is not damaged: keep what we knew and never save over it.
        readError_ = error;
        damaged_ = false;
        stamp_ = stamp;
        loaded_ = true;
        return;
    case defaults::ReadResult::ok: {
        // An empty file holds nothing worth keeping.
        if (contents.find_first_not_of(" \t\r\n") == std::string::npos) {
            break;
        }
        if (nestsDeeperThan(contents, kMaxNesting)) {
            damaged = true;
            break;
        }
        auto parsed = nlohmann::json::parse(contents, nullptr, false);
        if (parsed.is_object()) {
            fresh = std::move(parsed);
        } else {
            damaged = true;
        }
        break;
    }
    }
    if (!readError_.empty()) {
        readError_.clear();
        warnedAboutReadError_ = false;
    }
    for (const auto& [key, value] : pending_) {
        applyChange(fresh, key, value);
    }
    if (loaded_) {
        collectDifferences(values_, fresh, changes);
    }
    values_ = std::move(fresh);
    damaged_ = damaged;
    stamp_ = stamp;
    loaded_ = true;
}

template <typename Read> auto UserDefaults::readCurrent(Read read) const {
    Changes changes;
    std::unique_lock lock(mutex_);
    refreshLocked(changes);
    auto result = read();
    lock.unlock();
    notify(changes);
    return result;
}

template <typename T, typename Get>
T UserDefaults::readTyped(std::string_view key, T fallback, Get get) const {
    std::optional<T> result = readCurrent([&]() -> std::optional<T> {
        const auto it = values_.find(key);
        return it == values_.end() ? std::nullopt : get(*it);
    });
    return result ? std::move(*result) : std::move(fallback);
}

std::optional<nlohmann::json> UserDefaults::object(std::string_view key) const {
    return readCurrent([&]() -> std::optional<nlohmann::json> {
        const auto it = values_.find(key);
        return it == values_.end() ? std::nullopt : std::optional(*it);
    });
}

bool UserDefaults::boolFor(std::string_view key, bool fallback) const {
    return readTyped<bool>(key, fallback, [](const nlohmann::json& v) {
        return v.is_boolean() ? std::optional(v.get<bool>()) : std::nullopt;
    });
}

int64_t UserDefaults::integerFor(std::string_view key, int64_t fallback) const {
    return readTyped<int64_t>(key, fallback, [](const nlohmann::json& v) -> std::optional<int64_t> {
        if (v.is_number_unsigned()) {
            const auto u = v.get<uint64_t>();
            if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                return static_cast<int64_t>(u);
            }
            return std::nullopt;
        }
        if (v.is_number_integer()) {
            return v.get<int64_t>();
        }
        return std::nullopt;
    });
}

double UserDefaults::doubleFor(std::string_view key, double fallback) const {
    return readTyped<double>(key, fallback, [](const nlohmann::json& v) {
        return v.is_number() ? std::optional(v.get<double>()) : std::nullopt;
    });
}

std::string UserDefaults::stringFor(std::string_view key, std::string_view fallback) const {
    return readTyped<std::string>(key, std::string(fallback), [](const nlohmann::json& v) {
        return v.is_string() ? std::optional(v.get<std::string>()) : std::nullopt;
    });
}

nlohmann::json UserDefaults::dictionary() const {
    return readCurrent([this] { return values_; });
}

bool UserDefaults::fileIsDamaged() const {
    return readCurrent([this] { return damaged_; });
}

std::string UserDefaults::readError() const {
    return readCurrent([this] { return readError_; });
}

std::string UserDefaults::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool UserDefaults::set(std::string_view key, nlohmann::json value) {
    return store(key, unlessNull(std::move(value)), true);
}

void UserDefaults::setWithoutWaiting(std::string_view key, nlohmann::json value) {
    store(key, unlessNull(std::move(value)), false);
}

bool UserDefaults::remove(std::string_view key) {
    return store(key, std::nullopt, true);
}

bool UserDefaults::store(std::string_view key, std::optional<nlohmann::json> value, bool wait) {
    Changes changes;
    bool saved = true;
    {
        std::lock_guard lock(mutex_);
        refreshLocked(changes);
        nlohmann::json updated = values_;
        applyChange(updated, key, value);
        // Compared before the disk is touched: most writes change nothing.
        if (updated != values_) {
            values_ = std::move(updated);
            changes.emplace_back(key);
            if (filePath_.empty()) {
                lastError_ = "no place to save settings: no home directory is known";
                saved = false;
            } else {
                pending_[std::string(key)] = std::move(value);
                const Save result = saveLocked(wait, changes);
                if (result == Save::busy && (!retryTimer_ || retryTimer_->isCancelled())) {
                    retryTimer_ =
                        dispatch_.mainRepeatingTimer(kRetrySeconds, [this] { retryPendingSave(); });
                }
                saved = result != Save::failed;
            }
        }
    }
    notify(changes);
    return saved;
}

UserDefaults::Save UserDefaults::saveLocked(bool wait, Changes& changes) {
    const auto refuseUnreadable = [this] {
        lastError_ = readError_ + "; the settings file is left as it is";
        if (!warnedAboutReadError_) {
            warnedAboutReadError_ = true;
            std::cerr << "korvel: settings are not saved: " << readError_
                      << "; the file is left as it is until it can be read\n";
        }
        return Save::failed;
    };
    if (!readError_.empty()) {
        return refuseUnreadable();
    }
    const std::string directory = directoryOf(filePath_);
    std::string error;
    if (!defaults::ensureDirectory(directory, error)) {
        lastError_ = error;
        return Save::failed;
    }
    const defaults::DirectoryLock lock(directory, wait);
    if (!lock.held()) {
        if (lock.busy()) {
            return Save::busy;
        }
        lastError_ = "cannot lock " + directory;
        return Save::failed;
    }
    // Other processes write this file too; merge into what is there now.
    refreshLocked(changes);
    if (!readError_.empty()) {
        return refuseUnreadable();
    }
    if (damaged_ && stamp_.exists) {
        // Never overwrite what the user may still want to repair.
        const std::string aside = defaults::moveAside(filePath_, error);
        if (aside.empty()) {
            lastError_ = error;
            return Save::failed;
        }
        std::cerr << "korvel: " << filePath_ << " was not a valid settings file; moved it to "
                  << aside << " and started a new one\n";
    }
    defaults::FileStamp written;
    if (!defaults::replaceFile(filePath_, values_.dump(2) + "\n", written, error)) {
        lastError_ = error;
        return Save::failed;
    }
    stamp_ = written;
    damaged_ = false;
    pending_.clear();
    if (retryTimer_) {
        retryTimer_->cancel();
    }
    return Save::saved;
}

void UserDefaults::retryPendingSave() {
    Changes changes;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty() || saveLocked(false, changes) != Save::busy) {
            retryTimer_->cancel();
        }
    }
    notify(changes);
}

void UserDefaults::notify(const Changes& changes) const {
    if (changes.empty()) {
        return;
    }
    std::vector<std::pair<std::shared_ptr<Observer>, std::string>> calls;
    {
        std::lock_guard lock(observersMutex_);
        for (const auto& key : changes) {
            for (const auto& observer : observers_) {
                if (observer->key.empty() || observer->key == key) {
                    calls.emplace_back(observer, key);
                }
            }
        }
    }
    if (calls.empty()) {
        return;
    }
    dispatch_.onMain([calls = std::move(calls)] {
        for (const auto& [observer, key] : calls) {
            if (observer->active) {
                observer->callback(key);
            }
        }
    });
}

DefaultsObserverToken UserDefaults::addObserver(std::string key, ChangeObserver observer) {
    std::lock_guard lock(observersMutex_);
    auto entry = std::make_shared<Observer>();
    entry->id = nextObserverId_++;
    entry->key = std::move(key);
    entry->callback = std::move(observer);
    observers_.push_back(entry);
    return {entry->id};
}

void UserDefaults::removeObserver(DefaultsObserverToken token) {
    std::shared_ptr<Observer> removed;
    std::lock_guard lock(observersMutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
        if ((*it)->id == token.id) {
            (*it)->active = false;
            // Destroyed after the lock is released (declared before it).
            removed = std::move(*it);
            observers_.erase(it);
            return;
        }
    }
}

void UserDefaults::startWatching(double pollSeconds) {
    // Load now so the first check reports only what changes from here on.
    fileIsDamaged();
    watchTimer_ = dispatch_.mainRepeatingTimer(pollSeconds, [this] { fileIsDamaged(); });
}

} // namespace korvel::platform
