#include "platform/desktop/desktop_entry.h"

#include "platform/desktop/program_path.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace korvel::platform::desktop {
namespace {

constexpr const char* kGroup = "Desktop Entry";

// Programs that run something else named by their arguments: an entry that
// starts one of them with arguments describes the script, not the program.
constexpr std::array<std::string_view, 27> kRunners = {
    "sh",   "bash",   "dash",     "zsh", "ksh",   "mksh", "fish",       "csh",      "tcsh",
    "java", "node",   "nodejs",   "gjs", "mono",  "wine", "wine64",     "flatpak",  "snap",
    "sudo", "pkexec", "xdg-open", "gio", "tclsh", "wish", "gtk-launch", "exo-open", "kioclient5"};
constexpr std::array<std::string_view, 5> kRunnerPrefixes = {"python", "perl", "ruby", "php",
                                                             "lua"};

std::string takeString(gchar* text) {
    if (text == nullptr) {
        return {};
    }
    std::string value(text);
    g_free(text);
    return value;
}

std::string_view baseName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool isRunner(std::string_view program) {
    const auto name = baseName(program);
    return std::ranges::find(kRunners, name) != kRunners.end() ||
           std::ranges::any_of(kRunnerPrefixes,
                               [&](std::string_view prefix) { return name.starts_with(prefix); });
}

// %f, %U, %i and the like expand to files, URLs or the icon, never to a script.
bool isFieldCode(std::string_view argument) {
    return argument.size() == 2 && argument[0] == '%';
}

std::string localizedName(GKeyFile* file, const std::vector<std::string>& locales) {
    for (const auto& locale : locales) {
        if (gchar* found = g_key_file_get_locale_for_key(file, kGroup, "Name", locale.c_str())) {
            g_free(found);
            return takeString(
                g_key_file_get_locale_string(file, kGroup, "Name", locale.c_str(), nullptr));
        }
    }
    return takeString(g_key_file_get_string(file, kGroup, "Name", nullptr));
}

std::string iconValue(GKeyFile* file) {
    auto icon = takeString(g_key_file_get_string(file, kGroup, "Icon", nullptr));
    // Theme names carry no extension, though some entries write one.
    if (!icon.empty() && icon.front() != '/') {
        for (const std::string_view extension : {".png", ".svg", ".xpm"}) {
            if (icon.size() > extension.size() && icon.ends_with(extension)) {
                icon.resize(icon.size() - extension.size());
                break;
            }
        }
    }
    return icon;
}

// The program Exec starts, past an "env [options] [NAME=value...]" prefix, and
// whether it gets arguments other than field codes.
std::optional<std::pair<std::string, bool>> execProgram(const std::string& exec) {
    gchar** argv = nullptr;
    gint argc = 0;
    if (!g_shell_parse_argv(exec.c_str(), &argc, &argv, nullptr)) {
        return std::nullopt;
    }
    const std::unique_ptr<gchar*, decltype(&g_strfreev)> owned(argv, &g_strfreev);
    gint index = 0;
    if (baseName(argv[0]) == "env") {
        index = 1;
        while (index < argc &&
               (argv[index][0] == '-' || std::strchr(argv[index], '=') != nullptr)) {
            ++index;
        }
    }
    if (index >= argc) {
        return std::nullopt;
    }
    const bool hasArguments = !std::all_of(argv + index + 1, argv + argc, isFieldCode);
    return std::make_pair(std::string(argv[index]), hasArguments);
}

} // namespace

std::optional<DesktopEntry> readDesktopEntry(const std::string& file, const std::string& id,
                                             size_t directoryRank,
                                             const std::vector<std::string>& locales,
                                             const std::string& searchPath) {
    const std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> keys(g_key_file_new(),
                                                                     &g_key_file_free);
    if (!g_key_file_load_from_file(keys.get(), file.c_str(), G_KEY_FILE_KEEP_TRANSLATIONS,
                                   nullptr) ||
        !g_key_file_has_group(keys.get(), kGroup)) {
        return std::nullopt;
    }
    if (takeString(g_key_file_get_string(keys.get(), kGroup, "Type", nullptr)) != "Application" ||
        g_key_file_get_boolean(keys.get(), kGroup, "Hidden", nullptr)) {
        return std::nullopt;
    }
    const auto exec =
        execProgram(takeString(g_key_file_get_string(keys.get(), kGroup, "Exec", nullptr)));
    if (!exec) {
        return std::nullopt;
    }
    const auto& [program, hasArguments] = *exec;
    const auto resolved = resolveProgram(program, searchPath);
    // A name that leads to a launcher (as snap's aliases do) describes what the
    // launcher starts, not the launcher.
    if (!resolved || (hasArguments && (isRunner(program) || isRunner(*resolved))) ||
        (isRunner(*resolved) && !isRunner(program))) {
        return std::nullopt;
    }
    DesktopEntry entry;
    entry.programs.push_back(*resolved);
    const auto tryExec = takeString(g_key_file_get_string(keys.get(), kGroup, "TryExec", nullptr));
    if (!tryExec.empty()) {
        const auto installed = resolveProgram(tryExec, searchPath);
        if (!installed) {
            return std::nullopt;
        }
        if (*installed != *resolved && !isRunner(*installed)) {
            entry.programs.push_back(*installed);
        }
    }
    entry.name = localizedName(keys.get(), locales);
    if (entry.name.empty()) {
        return std::nullopt;
    }
    entry.id = id;
    entry.file = file;
    entry.directoryRank = directoryRank;
    entry.icon = iconValue(keys.get());
    entry.noDisplay = g_key_file_get_boolean(keys.get(), kGroup, "NoDisplay", nullptr);
    return entry;
}

} // namespace korvel::platform::desktop
