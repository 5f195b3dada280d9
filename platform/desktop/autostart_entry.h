#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvel::platform::desktop {

enum class AutostartState {
    absent,     // no file: nothing starts at login
    enabled,    // starts at login
    hidden,     // Hidden=true: the entry counts as deleted
    disabled,   // switched off by the desktop's own key (X-GNOME-Autostart-enabled=false)
    unreadable, // a file that is not a desktop entry
};

// What an application writes into its autostart entry.
struct AutostartFields {
    std::string name;
    std::string comment;
    // Program (an absolute path) and its arguments.
    std::vector<std::string> command;
};

// One application's per-user XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/<application id>.desktop. The file is the state:
// nothing is cached between calls.
class AutostartEntry {
public:
    explicit AutostartEntry(std::string path) : path_(std::move(path)) {}

    // The entry under the config home ($XDG_CONFIG_HOME when absolute, else
    // ~/.config). No value when no config home is known.
    static std::optional<AutostartEntry> forApplication(const std::string& applicationId);

    const std::string& path() const { return path_; }

    AutostartState state() const;

    // Makes the entry start the command at login: creates it (and its
    // directory), or sets our keys in an existing entry and keeps the keys
    // others added. Switches nothing back on: Hidden and the desktops'
    // enabled keys are left as they are, so call it only for an absent,
    // enabled or unreadable entry. An entry that already says the same is not
    // rewritten. The file is replaced atomically. False, with a readable
    // description in error, when it cannot be written.
    bool write(const AutostartFields& fields, std::string& error) const;
    // Deletes the entry, so nothing starts at login; an absent entry is
    // fine. False, with error, when it stays.
    bool remove(std::string& error) const;

private:
    std::string path_;
};

// The Exec value that runs exactly this command line: arguments quoted as
// desktop entries require, '%' doubled.
std::string execLine(const std::vector<std::string>& command);

} // namespace korvel::platform::desktop
