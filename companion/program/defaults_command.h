#pragma once

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::platform {
class UserDefaults;
}

namespace korvel {

// The JSON value a command-line word stands for. Without a type flag:
// "true"/"false" are Booleans, an integer literal that fits 64 signed bits
// is an integer, a decimal number is a double, anything else a string.
// typeFlag "-bool", "-int", "-float" or "-string" forces the type; a word
// that cannot have that type gives no value and a reason in error.
std::optional<nlohmann::json> parseDefaultsValue(std::string_view typeFlag, std::string_view text,
                                                 std::string& error);

// `korvel-companion defaults read [KEY] | write KEY [-TYPE] VALUE | delete KEY`
// on the companion's own settings; args are the words after "defaults".
// Returns the exit status: 0 done, 1 no such key or the save failed, 2 usage.
int runDefaultsCommand(const std::vector<std::string_view>& args, std::ostream& out,
                       std::ostream& err);
int runDefaultsCommand(platform::UserDefaults& store, const std::vector<std::string_view>& args,
                       std::ostream& out, std::ostream& err);

} // namespace korvel
