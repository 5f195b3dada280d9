#include "platform/proc/interpreter_script.h"

#include <algorithm>
#include <array>

namespace korvel::platform::proc {
namespace {

// How one family of interpreters reads the options before its script.
struct Grammar {
    // Whole-word options ("-cp", "--rcfile"); "--name=value" carries its value.
    std::span<const std::string_view> valueWords = {};
    std::span<const std::string_view> codeWords = {}; // the program comes inline
    std::span<const std::string_view> runWords = {};  // their value is what runs (java -jar)
    // False where every option is a whole word; else "-x" letters cluster
    // ("-uWerror").
    bool letters = true;
    std::string_view valueLetters = {};    // take the rest of the word, else the next word
    std::string_view attachedLetters = {}; // take the rest of the word only ("-W0", "-MFoo")
    std::string_view codeLetters = {};     // inline code or standard input
    std::string_view runLetters = {};      // their value is what runs (python -m, php -f)
};

constexpr std::string_view kPythonValueWords[] = {"--check-hash-based-pycs"};
constexpr Grammar kPython{
    .valueWords = kPythonValueWords, .valueLetters = "WX", .codeLetters = "c", .runLetters = "m"};

constexpr std::string_view kNodeValueWords[] = {
    "-r", "--require",    "--import", "--loader",   "--experimental-loader",
    "-C", "--conditions", "--title",  "--env-file", "--input-type"};
constexpr std::string_view kNodeCodeWords[] = {"-e",  "--eval", "-p",           "--print",
                                               "-pe", "-i",     "--interactive"};
constexpr Grammar kNode{
    .valueWords = kNodeValueWords, .codeWords = kNodeCodeWords, .letters = false};

constexpr Grammar kRuby{.valueLetters = "CEIr", .attachedLetters = "0FTWix", .codeLetters = "e"};
constexpr Grammar kPerl{.valueLetters = "I", .attachedLetters = "0CDMdilmx", .codeLetters = "Ee"};

constexpr std::string_view kPhpValueWords[] = {"--php-ini", "--define", "--docroot"};
constexpr std::string_view kPhpCodeWords[] = {"--run", "--interactive"};
constexpr std::string_view kPhpRunWords[] = {"--file"};
constexpr Grammar kPhp{.valueWords = kPhpValueWords,
                       .codeWords = kPhpCodeWords,
                       .runWords = kPhpRunWords,
                       .valueLetters = "cdtzS",
                       .codeLetters = "BERar",
                       .runLetters = "f"};

// Lua runs `-e` code and then any script it is given.
constexpr Grammar kLua{.valueLetters = "el"};

constexpr std::string_view kJavaValueWords[] = {"-cp",
                                                "-classpath",
                                                "--class-path",
                                                "-p",
                                                "--module-path",
                                                "--add-modules",
                                                "--add-opens",
                                                "--add-exports",
                                                "--add-reads",
                                                "--patch-module",
                                                "--limit-modules",
                                                "--upgrade-module-path",
                                                "--source",
                                                "--enable-native-access"};
constexpr std::string_view kJavaRunWords[] = {"-jar", "-m", "--module"};
constexpr Grammar kJava{.valueWords = kJavaValueWords, .runWords = kJavaRunWords, .letters = false};

constexpr std::string_view kShellValueWords[] = {"--rcfile", "--init-file"};
constexpr Grammar kShell{.valueWords = kShellValueWords, .valueLetters = "oO", .codeLetters = "cs"};

constexpr std::string_view kFishValueWords[] = {
    "--init-command", "--debug", "--debug-output", "--profile", "--profile-startup", "--features"};
constexpr std::string_view kFishCodeWords[] = {"--command"};
constexpr Grammar kFish{.valueWords = kFishValueWords,
                        .codeWords = kFishCodeWords,
                        .valueLetters = "Cdfop",
                        .codeLetters = "c"};

struct Family {
    std::string_view name;
    bool versioned; // the name may carry a version: "python3.11", "perl5.36.0"
    const Grammar* grammar;
};

constexpr std::array kFamilies = {
    Family{"python", true, &kPython}, Family{"pypy", true, &kPython},
    Family{"node", false, &kNode},    Family{"nodejs", false, &kNode},
    Family{"ruby", true, &kRuby},     Family{"perl", true, &kPerl},
    Family{"php", true, &kPhp},       Family{"lua", true, &kLua},
    Family{"luajit", false, &kLua},   Family{"java", false, &kJava},
    Family{"sh", false, &kShell},     Family{"ash", false, &kShell},
    Family{"bash", false, &kShell},   Family{"dash", false, &kShell},
    Family{"ksh", false, &kShell},    Family{"mksh", false, &kShell},
    Family{"zsh", false, &kShell},    Family{"csh", false, &kShell},
    Family{"tcsh", false, &kShell},   Family{"fish", false, &kFish},
};

const Grammar* grammarOf(std::string_view executable) {
    for (const Family& family : kFamilies) {
        if (!executable.starts_with(family.name)) {
            continue;
        }
        const std::string_view version = executable.substr(family.name.size());
        if (version.empty() ||
            (family.versioned && version.front() >= '0' && version.front() <= '9' &&
             version.find_first_not_of("0123456789.") == version.npos)) {
            return family.grammar;
        }
    }
    return nullptr;
}

bool listed(std::span<const std::string_view> words, std::string_view word) {
    return std::find(words.begin(), words.end(), word) != words.end();
}

bool among(std::string_view letters, char letter) {
    return letters.find(letter) != letters.npos;
}

// A script by its file name; a module or class as it is given ("-m a/B" is B).
std::optional<std::string_view> named(std::string_view argument) {
    // A script read through a descriptor ("bash <(...)" runs /dev/fd/63) has
    // no name of its own.
    if (argument.starts_with("/dev/fd/") || argument.starts_with("/proc/self/fd/") ||
        argument == "/dev/stdin") {
        return std::nullopt;
    }
    const std::string_view name = argument.substr(argument.rfind('/') + 1);
    return name.empty() ? std::nullopt : std::optional(name);
}

} // namespace

bool isInterpreter(std::string_view executable) {
    return grammarOf(executable) != nullptr;
}

std::optional<std::string_view> interpreterScript(std::string_view executable,
                                                  std::span<const std::string_view> argv) {
    const Grammar* grammar = grammarOf(executable);
    if (grammar == nullptr) {
        return std::nullopt;
    }
    const auto next = [&](size_t i) {
        return i + 1 < argv.size() ? named(argv[i + 1]) : std::nullopt;
    };
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string_view word = argv[i];
        if (word == "--") {
            return next(i);
        }
        if (word == "-") {
            return std::nullopt; // standard input
        }
        if (!word.starts_with('-')) {
            return named(word);
        }
        const size_t equals = word.find('=');
        const std::string_view option = word.substr(0, equals);
        if (listed(grammar->codeWords, option)) {
            return std::nullopt;
        }
        if (listed(grammar->runWords, option)) {
            return equals == word.npos ? next(i) : named(word.substr(equals + 1));
        }
        if (listed(grammar->valueWords, option)) {
            i += equals == word.npos ? 1 : 0;
            continue;
        }
        if (!grammar->letters || word.starts_with("--")) {
            continue; // a flag
        }
        for (size_t at = 1; at < word.size(); ++at) {
            const char letter = word[at];
            const std::string_view rest = word.substr(at + 1);
            if (among(grammar->codeLetters, letter)) {
                return std::nullopt;
            }
            if (among(grammar->runLetters, letter)) {
                return rest.empty() ? next(i) : named(rest);
            }
            if (among(grammar->valueLetters, letter)) {
                i += rest.empty() ? 1 : 0;
                break;
            }
            if (among(grammar->attachedLetters, letter)) {
                break;
            }
        }
    }
    return std::nullopt;
}

} // namespace korvel::platform::proc
