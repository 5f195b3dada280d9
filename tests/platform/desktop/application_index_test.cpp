#include "platform/desktop/application_index.h"
#include "platform/desktop/application_registry.h"
#include "platform/desktop/xdg_environment.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korvel::platform::desktop {
namespace {

namespace fs = std::filesystem;

// A throwaway XDG tree: home, /usr/local/share and /usr/share application
// directories, and a bin directory for PATH, all under one temporary root.
class DesktopTree : public korvel::testing::TempDir {
public:
    const fs::path& root() const { return path(); }
    fs::path home() const { return root() / "home/.local/share/applications"; }
    fs::path local() const { return root() / "usr/local/share/applications"; }
    fs::path system() const { return root() / "usr/share/applications"; }
    fs::path bin() const { return root() / "bin"; }

    // An executable file (relative paths land in bin()); returns its path.
    fs::path program(const fs::path& path) const {
        const auto full = path.is_absolute() ? path : bin() / path;
        write(full, "#!/bin/true\n");
        fs::permissions(full,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        return full;
    }

    XdgEnvironment environment(std::vector<std::string> locales = {}) const {
        return {{home().string(), local().string(), system().string()},
                std::move(locales),
                bin().string()};
    }
};

std::string entry(const std::string& body) {
    return "[Desktop Entry]\nType=Application\n" + body;
}

std::string nameFor(const ApplicationIndex& index, const fs::path& program) {
    const DesktopEntry* found = index.find(program.string());
    return found == nullptr ? "<none>" : found->name;
}

TEST(ApplicationIndex, LocalizedNamesIconsAndPrograms) {
    DesktopTree tree;
    const auto viewer = tree.program("viewer");
    tree.write(tree.system() / "org.example.Viewer.desktop",
               entry("Name=Viewer\nName[de]=Betrachter\nName[de_CH]=Luegi\n"
                     "Icon=org.example.viewer\nExec=viewer %U\n"));
    // Quoted program path with a space, started through env.
    const auto spaced = tree.program(tree.root() / "opt/My App/bin/app");
    tree.write(tree.system() / "spaced.desktop",
               entry("Name=Spaced\nIcon=" + (tree.root() / "opt/My App/icon.png").string() +
                     "\nExec=env GDK_BACKEND=x11 \"" + spaced.string() + "\" --flag %F\n"));
    // A symlinked program is found under its real path; the extension is dropped from a theme name.
    const auto real = tree.program(tree.root() / "opt/term/term-bin");
    fs::create_symlink(real, tree.bin() / "term");
    tree.write(tree.system() / "kde/term.desktop", entry("Name=Term\nIcon=term.png\nExec=term\n"));

    const auto german = ApplicationIndex::build(tree.environment({"de_DE.UTF-8"}));
    EXPECT_EQ(nameFor(german, viewer), "Betrachter");
    EXPECT_EQ(german.find(viewer.string())->icon, "org.example.viewer");
    // In a LANGUAGE list the first language with a translation wins.
    const auto viewerIn = [&](const std::vector<std::string>& locales) {
        return nameFor(ApplicationIndex::build(tree.environment(locales)), viewer);
    };
    EXPECT_EQ(viewerIn({"de_CH.UTF-8@euro"}), "Luegi");
    EXPECT_EQ(viewerIn({"fr_FR.UTF-8"}), "Viewer");
    EXPECT_EQ(viewerIn({"fr", "de", "en_US.UTF-8"}), "Betrachter");

    EXPECT_EQ(nameFor(german, spaced), "Spaced");
    EXPECT_EQ(german.find(spaced.string())->icon, (tree.root() / "opt/My App/icon.png").string());
    ASSERT_NE(german.find(real.string()), nullptr);
    EXPECT_EQ(german.find(real.string())->id + " " + german.find(real.string())->icon,
              "kde-term.desktop term");
    // A binary replaced on disk while running still names its process.
    EXPECT_EQ(nameFor(german, viewer.string() + " (deleted)"), "Betrachter");
}

TEST(ApplicationIndex, EntriesThatMustNotNameProcesses) {
    DesktopTree tree;
    // TryExec names a program that is not installed: the entry is ignored.
    tree.program("ghost");
    tree.write(tree.system() / "ghost.desktop",
               entry("Name=Ghost\nExec=ghost\nTryExec=ghost-helper-not-installed\n"));
    // TryExec installed: both programs name the entry.
    const auto helper = tree.program("present-helper");
    const auto present = tree.program("present");
    tree.write(tree.system() / "present.desktop",
               entry("Name=Present\nExec=present\nTryExec=present-helper\n"));
    // A user's Hidden copy deletes the system entry of the same ID.
    tree.program("hiddenapp");
    tree.write(tree.system() / "org.example.Hidden.desktop",
               entry("Name=Hidden\nExec=hiddenapp\n"));
    tree.write(tree.home() / "org.example.Hidden.desktop",
               entry("Name=Hidden\nExec=hiddenapp\nHidden=true\n"));
    // An interpreter started with a script must not claim every interpreter process...
    const auto python = tree.program("python3");
    tree.write(tree.system() / "a-script-tool.desktop",
               entry("Name=Script Tool\nExec=python3 /usr/share/tool/tool.py %f\n"));
    tree.write(tree.system() / "shell-tool.desktop",
               entry("Name=Shell Tool\nExec=sh -c \"ghost --x\"\n"));
    // ...but the interpreter's own entry may.
    tree.write(tree.system() / "python.desktop", entry("Name=Python\nExec=python3\n"));
    // An alias that leads to a launcher names the launched application, not the launcher.
    fs::create_symlink(tree.program("snap"), tree.bin() / "firefox");
    tree.write(tree.system() / "firefox_firefox.desktop", entry("Name=Firefox\nExec=firefox %u\n"));
    // Not applications, unparsable, or with a program that does not exist.
    tree.write(tree.system() / "link.desktop",
               "[Desktop Entry]\nType=Link\nName=Link\nExec=ghost\nURL=x\n");
    tree.write(tree.system() / "broken.desktop", "this is not a key file\n[[[\n");
    tree.write(tree.system() / "missing.desktop", entry("Name=Missing\nExec=not-installed\n"));
    tree.write(tree.system() / "noname.desktop", entry("Exec=ghost\n"));

    const auto index = ApplicationIndex::build(tree.environment());
    EXPECT_EQ(nameFor(index, present), "Present");
    EXPECT_EQ(nameFor(index, helper), "Present");
    EXPECT_EQ(nameFor(index, python), "Python");
    EXPECT_EQ(index.entries().size(), 2u) << "only Present and Python are kept";
}

TEST(ApplicationIndex, TwoEntriesForOneProgram) {
    DesktopTree tree;
    const auto real = tree.program("editor-real");
    fs::create_symlink(real, tree.bin() / "editor");
    // Same directory: the desktop file ID that sorts first.
    tree.write(tree.system() / "b-editor.desktop", entry("Name=Editor B\nExec=editor\n"));
    tree.write(tree.system() / "a-editor.desktop",
               entry("Name=Editor A\nExec=" + real.string() + " %F\n"));
    EXPECT_EQ(nameFor(ApplicationIndex::build(tree.environment()), real), "Editor A");
    // A more important directory wins over the ID order...
    tree.write(tree.local() / "z-editor.desktop", entry("Name=Editor Z\nExec=editor\n"));
    EXPECT_EQ(nameFor(ApplicationIndex::build(tree.environment()), real), "Editor Z");
    // ...and an entry shown in menus over a NoDisplay one, wherever it is.
    tree.write(tree.home() / "0-editor.desktop",
               entry("Name=Editor helper\nExec=editor\nNoDisplay=true\n"));
    EXPECT_EQ(nameFor(ApplicationIndex::build(tree.environment()), real), "Editor Z");
    // With only NoDisplay entries left, one of them still names the program.
    const auto tool = tree.program("tool");
    tree.write(tree.system() / "tool.desktop", entry("Name=Tool\nExec=tool\nNoDisplay=true\n"));
    EXPECT_EQ(nameFor(ApplicationIndex::build(tree.environment()), tool), "Tool");
}

TEST(ApplicationRegistry, LooksUpOnlyWhatWasRead) {
    DesktopTree tree;
    const auto viewer = tree.program("viewer");
    const auto other = tree.program("other");
    tree.write(tree.system() / "viewer.desktop",
               entry("Name=Viewer\nIcon=viewer-icon\nExec=viewer\n"));
    ApplicationRegistry registry(tree.environment());
    const std::vector<ProcessExecutable> processes = {
        {10, viewer.string()}, {11, other.string()}, {12, viewer.string()}};

    // Not read yet: nothing is known, and the icon answer says so.
    EXPECT_FALSE(registry.isReady());
    EXPECT_TRUE(registry.runningApplications(processes).empty());
    EXPECT_FALSE(registry.iconForExecutable(viewer.string()).ready);

    registry.rebuild();
    auto running = registry.runningApplications(processes);
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(std::make_pair(running[0].pid, running[1].pid), std::make_pair(10, 12));
    EXPECT_EQ(running[0].appId, "viewer") << "the desktop file ID";
    EXPECT_EQ(registry.iconForExecutable(viewer.string()).icon, "viewer-icon");
    const auto none = registry.iconForExecutable(other.string());
    EXPECT_TRUE(none.ready && none.icon.empty());

    // A new entry on disk is not seen until the index is read again.
    tree.write(tree.system() / "other.desktop", entry("Name=Other\nExec=other\n"));
    EXPECT_EQ(registry.runningApplications(processes).size(), 2u);
    registry.rebuild();
    EXPECT_EQ(registry.runningApplications(processes).size(), 3u);
    EXPECT_EQ(registry.generation(), 2u);
}

TEST(ApplicationRegistry, ReadsAgainWhenAnApplicationsDirectoryChanges) {
    DesktopTree tree;
    const auto viewer = tree.program("viewer");
    fs::create_directories(tree.system());
    ApplicationRegistry registry(tree.environment(), std::chrono::milliseconds(20));
    registry.startInBackground();
    // Bounded waits for the watcher's thread, not timing requirements.
    for (int i = 0; i < 600 && !registry.isReady(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(registry.isReady()) << "read once the directories are watched";
    EXPECT_EQ(registry.index()->find(viewer.string()), nullptr);

    tree.write(tree.system() / "viewer.desktop", entry("Name=Viewer\nExec=viewer\n"));
    for (int i = 0; i < 600 && registry.index()->find(viewer.string()) == nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(nameFor(*registry.index(), viewer), "Viewer");
}

TEST(XdgEnvironment, DirectoriesAndLocales) {
    std::map<std::string, std::string> vars = {{"HOME", "/home/ada"}, {"LANG", "de_DE.UTF-8"}};
    const auto get = [&vars](const std::string& name) -> std::optional<std::string> {
        const auto found = vars.find(name);
        return found == vars.end() ? std::nullopt : std::optional(found->second);
    };
    auto env = XdgEnvironment::from(get);
    EXPECT_EQ(env.applicationDirs, (std::vector<std::string>{"/home/ada/.local/share/applications",
                                                             "/usr/local/share/applications",
                                                             "/usr/share/applications"}));
    EXPECT_EQ(env.locales, std::vector<std::string>{"de_DE.UTF-8"});

    vars = {{"HOME", "/home/ada"},
            {"XDG_DATA_HOME", "/data/"},
            {"XDG_DATA_DIRS", "relative/share::/opt/share:/data"},
            {"LANG", "en_US.UTF-8"},
            {"LC_MESSAGES", "fr_FR.UTF-8"},
            {"LANGUAGE", "pt_BR:pt"}};
    env = XdgEnvironment::from(get);
    EXPECT_EQ(env.applicationDirs,
              (std::vector<std::string>{"/data/applications", "/opt/share/applications"}));
    EXPECT_EQ(env.locales, (std::vector<std::string>{"pt_BR", "pt", "fr_FR.UTF-8"}));
    // LC_ALL wins; C ignores LANGUAGE and translations altogether.
    vars["LC_ALL"] = "C.UTF-8";
    EXPECT_TRUE(XdgEnvironment::from(get).locales.empty());
}

} // namespace
} // namespace korvel::platform::desktop
