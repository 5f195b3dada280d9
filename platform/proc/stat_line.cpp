#include "platform/proc/stat_line.h"

#include "platform/system/text_file.h"

namespace korvel::platform::proc {
namespace {

// Field numbers counted from the state, the first field after the comm.
constexpr int kPpid = 1;
constexpr int kFlags = 6;
constexpr int kUtime = 11;
constexpr int kStime = 12;
constexpr int kStartTime = 19;
constexpr int kVsize = 20;
constexpr int kRss = 21;

} // namespace

std::optional<StatLine> parseStatLine(std::string_view text) {
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    StatLine line;
    line.comm = text.substr(open + 1, close - open - 1);

    std::string_view rest = text.substr(close + 1);
    int field = -1;
    size_t pos = 0;
    while (field < kRss) {
        while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\n')) {
            ++pos;
        }
        if (pos == rest.size()) {
            return std::nullopt;
        }
        size_t end = pos;
        while (end < rest.size() && rest[end] != ' ' && rest[end] != '\n') {
            ++end;
        }
        const std::string_view token = rest.substr(pos, end - pos);
        pos = end;
        ++field;
        bool ok = true;
        switch (field) {
        case kPpid:
            ok = parseWhole(token, line.ppid);
            break;
        case kFlags:
            ok = parseWhole(token, line.flags);
            break;
        case kUtime:
            ok = parseWhole(token, line.utimeTicks);
            break;
        case kStime:
            ok = parseWhole(token, line.stimeTicks);
            break;
        case kStartTime:
            ok = parseWhole(token, line.startTimeTicks);
            break;
        case kVsize:
            ok = parseWhole(token, line.vsizeBytes);
            break;
        case kRss:
            ok = parseWhole(token, line.rssPages);
            break;
        default:
            break;
        }
        if (!ok) {
            return std::nullopt;
        }
    }
    return line;
}

} // namespace korvel::platform::proc
