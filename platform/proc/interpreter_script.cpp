#include "platform/proc/interpreter_script.h"

#include <algorithm>
#include <array>
#include <optional>

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

// What one option says of the words after it.
struct Option {
    enum Kind { flag, valueNext, inlineCode, runsValue, runsNext } kind = flag;
    std::string_view value = {}; // what runs, for runsValue
};

// A whole-word option the grammar lists; none when it lists no such word.
std::optional<Option> listedWord(const Grammar& grammar, std::string_view word) {
    const size_t equals = word.find('=');
    const std::string_view name = word.substr(0, equals);
    const bool attached = equals != word.npos;
    if (listed(grammar.codeWords, name)) {
        return Option{Option::inlineCode};
    }
    if (listed(grammar.runWords, name)) {
        return attached ? Option{Option::runsValue, word.substr(equals + 1)}
                        : Option{Option::runsNext};
    }
    if (listed(grammar.valueWords, name)) {
        return Option{attached ? Option::flag : Option::valueNext};
    }
    return std::nullopt;
}

// A cluster of option letters ("-uWerror"): the first that takes a value or
// says what runs decides.
Option letterCluster(const Grammar& grammar, std::string_view word) {
    for (size_t at = 1; at < word.size(); ++at) {
        const char letter = word[at];
        const std::string_view rest = word.substr(at + 1);
        if (among(grammar.codeLetters, letter)) {
            return {Option::inlineCode};
        }
        if (among(grammar.runLetters, letter)) {
            return rest.empty() ? Option{Option::runsNext} : Option{Option::runsValue, rest};
        }
        if (among(grammar.valueLetters, letter)) {
            return {rest.empty() ? Option::valueNext : Option::flag};
        }
        if (among(grammar.attachedLetters, letter)) {
            break;
        }
    }
    return {Option::flag};
}

// What an option word says: as a word the grammar lists, else as letters.
Option optionOf(const Grammar& grammar, std::string_view word) {
    if (const auto option = listedWord(grammar, word)) {
        return *option;
    }
    return grammar.letters && !word.starts_with("--") ? letterCluster(grammar, word) : Option{};
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
        const Option option = optionOf(*grammar, word);
        switch (option.kind) {
        case Option::inlineCode:
            return std::nullopt;
        case Option::runsValue:
            return named(option.value);
        case Option::runsNext:
            return next(i);
        case Option::valueNext:
            ++i;
            break;
        case Option::flag:
            break;
        }
    }
    return std::nullopt;
}

} // namespace korvel::platform::proc
