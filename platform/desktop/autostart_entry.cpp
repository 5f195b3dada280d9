#include "platform/desktop/autostart_entry.h"

#include "platform/defaults/defaults_path.h"
#include "platform/system/text_file.h"

#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

namespace korvel::platform::desktop {
namespace {

constexpr const char* kGroup = "Desktop Entry";
// Each desktop's own switch for an autostart entry, kept when it is off.
constexpr const char* kEnabledKeys[] = {"X-GNOME-Autostart-enabled", "X-MATE-Autostart-enabled"};

using KeyFile = std::unique_ptr<GKeyFile, decltype(&g_key_file_free)>;

// A Boolean key that is present and valid; anything else is absent.
std::optional<bool> booleanKey(GKeyFile* file, const char* key) {
    GError* error = nullptr;
    const gboolean value = g_key_file_get_boolean(file, kGroup, key, &error);
    if (error != nullptr) {
        g_error_free(error);
        return std::nullopt;
    }
    return value != FALSE;
}

bool needsQuoting(std::string_view argument) {
    return argument.empty() ||
           argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string_view::npos;
}

} // namespace

std::optional<AutostartEntry> AutostartEntry::forApplication(const std::string& applicationId) {
    const auto config = defaults::configHomeDirectory();
    if (!config || applicationId.empty() || applicationId.find('/') != std::string::npos) {
        return std::nullopt;
    }
    return AutostartEntry(*config + "/autostart/" + applicationId + ".desktop");
}

AutostartState AutostartEntry::state() const {
    if (!g_file_test(path_.c_str(), G_FILE_TEST_EXISTS)) {
        return AutostartState::absent;
    }
    KeyFile file(g_key_file_new(), &g_key_file_free);
    if (!g_key_file_load_from_file(file.get(), path_.c_str(), G_KEY_FILE_NONE, nullptr) ||
        !g_key_file_has_group(file.get(), kGroup)) {
        return AutostartState::unreadable;
    }
    if (booleanKey(file.get(), "Hidden").value_or(false)) {
        return AutostartState::hidden;
    }
    for (const char* key : kEnabledKeys) {
        if (!booleanKey(file.get(), key).value_or(true)) {
            return AutostartState::disabled;
        }
    }
    return AutostartState::enabled;
}

bool AutostartEntry::write(const AutostartFields& fields, std::string& error) const {
    if (fields.command.empty() || fields.command.front().empty() ||
        fields.command.front().front() != '/') {
        error = "the program to start is not an absolute path";
        return false;
    }
    KeyFile file(g_key_file_new(), &g_key_file_free);
    std::string before;
    if (auto existing = readTextFile(path_)) {
        before = std::move(*existing);
        // An unreadable old entry is ours to replace; keep what parses.
        g_key_file_load_from_data(
            file.get(), before.data(), before.size(),
            static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS),
            nullptr);
    }
    g_key_file_set_string(file.get(), kGroup, "Type", "Application");
    g_key_file_set_string(file.get(), kGroup, "Name", fields.name.c_str());
    if (!fields.comment.empty()) {
        g_key_file_set_string(file.get(), kGroup, "Comment", fields.comment.c_str());
    }
    g_key_file_set_string(file.get(), kGroup, "Exec", execLine(fields.command).c_str());
    g_key_file_set_boolean(file.get(), kGroup, "Terminal", FALSE);
    if (!g_key_file_has_key(file.get(), kGroup, kEnabledKeys[0], nullptr)) {
        g_key_file_set_boolean(file.get(), kGroup, kEnabledKeys[0], TRUE);
    }

    gsize length = 0;
    gchar* data = g_key_file_to_data(file.get(), &length, nullptr);
    const std::string after(data, length);
    g_free(data);
    if (after == before) {
        return true;
    }

    gchar* directory = g_path_get_dirname(path_.c_str());
    const int made = g_mkdir_with_parents(directory, 0700);
    const int mkdirErrno = errno;
    std::string directoryName(directory);
    g_free(directory);
    if (made != 0) {
        error = "cannot create " + directoryName + ": " + g_strerror(mkdirErrno);
        return false;
    }
    GError* writeError = nullptr;
    if (!g_file_set_contents_full(path_.c_str(), after.data(), static_cast<gssize>(after.size()),
                                  G_FILE_SET_CONTENTS_CONSISTENT, 0644, &writeError)) {
        error = writeError != nullptr ? writeError->message : "unknown error";
        g_clear_error(&writeError);
        return false;
    }
    return true;
}

bool AutostartEntry::remove(std::string& error) const {
    if (std::remove(path_.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + path_ + ": " + g_strerror(errno);
        return false;
    }
    return true;
}

std::string execLine(const std::vector<std::string>& command) {
    std::string line;
    for (const auto& argument : command) {
        if (!line.empty()) {
            line += ' ';
        }
        std::string escaped;
        for (const char c : argument) {
            if (c == '%') {
                escaped += "%%";
                continue;
            }
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                escaped += '\\';
            }
            escaped += c;
        }
        if (needsQuoting(argument)) {
            line += '"' + escaped + '"';
        } else {
            line += escaped;
        }
    }
    return line;
}

} // namespace korvel::platform::desktop
