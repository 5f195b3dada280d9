#include "companion/program/defaults_command.h"

#include "companion/engine/settings_keys.h"
#include "companion/usage/data_plan.h"
#include "platform/defaults/user_defaults.h"
#include "platform/program/ascii_text.h"
#include "platform/system/text_file.h"
#include "shared/utf8.h"

#include <algorithm>
#include <cmath>
#include <ostream>

namespace korvel {

namespace {

constexpr const char* kUsage =
    "Usage: korvel-companion defaults read [KEY]\n"
    "       korvel-companion defaults write KEY [-bool|-int|-float|-string|-json] VALUE\n"
    "       korvel-companion defaults delete KEY\n";

constexpr const char* kDescription = R"(
read prints the settings, or one value, as JSON. write stores a setting:
without a type flag true and false, integers and decimals keep that type, the
rest are strings; a running companion sees it. delete removes a setting so it
reads as its default.
)";

bool looksLikeInteger(std::string_view text) {
    const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
    return !digits.empty() &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<int64_t> parseInteger(std::string_view text) {
    return looksLikeInteger(text) ? platform::wholeNumber<int64_t>(text) : std::nullopt;
}

// Plain decimal notation only: no hexadecimal, infinities or NaN.
std::optional<double> parseDecimal(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string_view::npos ||
        text.find_first_of("0123456789") == std::string_view::npos || text.front() == '+') {
        return std::nullopt;
    }
    const auto value = platform::wholeNumber<double>(text);
    return value && std::isfinite(*value) ? value : std::nullopt;
}

// Says what is wrong with the file: unreadable is not the same as damaged.
void warnIfUnusable(const platform::UserDefaults& store, std::ostream& err) {
    if (const auto error = store.readError(); !error.empty()) {
        err << "korvel-companion defaults: " << error << "; its settings cannot be shown\n";
    } else if (store.fileIsDamaged()) {
        err << "korvel-companion defaults: " << store.filePath()
            << " is not a valid settings file; it reads as empty\n";
    }
}

int missingKey(const platform::UserDefaults& store, std::string_view key, std::ostream& err) {
    err << "korvel-companion defaults: the key \"" << key << "\" does not exist in "
        << store.domain() << '\n';
    return 1;
}

// A setting whose range is known refuses a whole number outside it, and
// the data plans a value they cannot use.
std::optional<std::string> outOfRange(std::string_view key, const nlohmann::json& value) {
    if (key == usage::kDataPlansKey) {
        return usage::plansProblem(value);
    }
    for (const auto& range : settings::kRangedIntegers) {
        if (key == range.key && value.is_number_integer() &&
            (value.get<int64_t>() < range.minimum || value.get<int64_t>() > range.maximum)) {
            return std::string(key) + " takes a whole number from " +
                   std::to_string(range.minimum) + " to " + std::to_string(range.maximum);
        }
    }
    return std::nullopt;
}

int saveFailed(const platform::UserDefaults& store, std::ostream& err) {
    err << "korvel-companion defaults: could not save " << store.domain() << ": "
        << store.lastError() << '\n';
    return 1;
}

} // namespace

std::optional<nlohmann::json> parseDefaultsValue(std::string_view typeFlag, std::string_view text,
                                                 std::string& error) {
    if (typeFlag.empty()) {
        if (text == "true" || text == "false") {
            return nlohmann::json(text == "true");
        }
        if (looksLikeInteger(text)) {
            // Too long for an integer: kept exactly, as text, not rounded.
            const auto integer = parseInteger(text);
            return integer ? nlohmann::json(*integer) : nlohmann::json(std::string(text));
        }
        if (const auto decimal = parseDecimal(text)) {
            return nlohmann::json(*decimal);
        }
        return nlohmann::json(std::string(text));
    }
    if (typeFlag == "-bool" || typeFlag == "-boolean") {
        const std::string word = platform::asciiLowercase(text);
        if (word == "true" || word == "yes" || word == "1") {
            return nlohmann::json(true);
        }
        if (word == "false" || word == "no" || word == "0") {
            return nlohmann::json(false);
        }
        error = "not a Boolean: " + std::string(text);
        return std::nullopt;
    }
    if (typeFlag == "-int" || typeFlag == "-integer") {
        if (const auto integer = parseInteger(text)) {
            return nlohmann::json(*integer);
        }
        error = "not a 64-bit integer: " + std::string(text);
        return std::nullopt;
    }
    if (typeFlag == "-float") {
        if (const auto decimal = parseDecimal(text)) {
            return nlohmann::json(*decimal);
        }
        error = "not a number: " + std::string(text);
        return std::nullopt;
    }
    if (typeFlag == "-string") {
        return nlohmann::json(std::string(text));
    }
    if (typeFlag == "-json") {
        auto value = nlohmann::json::parse(text, nullptr, false);
        if (value.is_discarded()) {
            error = "not JSON: " + std::string(text);
            return std::nullopt;
        }
        return value;
    }
    error = "unknown type " + std::string(typeFlag) + "; use -bool, -int, -float, -string or -json";
    return std::nullopt;
}

int runDefaultsCommand(const std::vector<std::string_view>& args, std::ostream& out,
                       std::ostream& err) {
    return runDefaultsCommand(platform::UserDefaults::companion(), args, out, err);
}

int runDefaultsCommand(platform::UserDefaults& store, const std::vector<std::string_view>& args,
                       std::ostream& out, std::ostream& err) {
    const std::string_view verb = args.empty() ? std::string_view() : args[0];
    const bool keyGiven = args.size() >= 2 && !args[1].empty();

    if (verb == "--help" || verb == "-h") {
        out << kUsage << kDescription;
        return 0;
    }

    if (verb == "read" && args.size() <= 2) {
        warnIfUnusable(store, err);
        if (args.size() == 1) {
            out << store.dictionary().dump(2) << '\n';
            return 0;
        }
        const auto value = store.object(args[1]);
        if (!value) {
            return missingKey(store, args[1], err);
        }
        out << value->dump() << '\n';
        return 0;
    }
    if (verb == "write" && keyGiven && (args.size() == 3 || args.size() == 4)) {
        // The settings file is JSON, which holds only UTF-8 text.
        if (!isValidUtf8(args[1]) || !isValidUtf8(args.back())) {
            err << "korvel-companion defaults: the " << (isValidUtf8(args[1]) ? "value" : "key")
                << " is not valid UTF-8\n";
            return 2;
        }
        std::string error;
        const auto value =
            parseDefaultsValue(args.size() == 4 ? args[2] : std::string_view(), args.back(), error);
        if (value) {
            error = outOfRange(args[1], *value).value_or("");
        }
        if (!error.empty()) {
            err << "korvel-companion defaults: " << error << '\n';
            return 2;
        }
        return store.set(args[1], *value) ? 0 : saveFailed(store, err);
    }
    if (verb == "delete" && keyGiven && args.size() == 2) {
        if (!store.object(args[1])) {
            return missingKey(store, args[1], err);
        }
        return store.remove(args[1]) ? 0 : saveFailed(store, err);
    }
    err << kUsage;
    return 2;
}

} // namespace korvel
