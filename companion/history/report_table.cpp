#include "companion/history/report_table.h"

#include "companion/text/figure_text.h"

#include <algorithm>
#include <ctime>

namespace korvel::history {

namespace {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\n\r") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

} // namespace

std::string bytesText(int64_t bytes) {
    return formatDecimalBytes(static_cast<uint64_t>(std::max<int64_t>(bytes, 0)));
}

std::string timeText(int64_t unixSeconds, const char* format) {
    const auto t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

void print(const Table& table, Format format, std::ostream& out) {
    if (format == Format::json) {
        out << nlohmann::json(table.records).dump(2) << '\n';
        return;
    }
    if (format == Format::csv) {
        for (size_t i = 0; i < table.header.size(); ++i) {
            out << (i ? "," : "") << csvField(table.header[i]);
        }
        out << '\n';
        for (const auto& record : table.records) {
            size_t i = 0;
            for (const auto& key : table.header) {
                const auto& value = record.at(key);
                out << (i++ ? "," : "")
                    << (value.is_string() ? csvField(value.get<std::string>())
                        : value.is_null() ? ""
                                          : value.dump());
            }
            out << '\n';
        }
        return;
    }
    std::vector<size_t> widths;
    for (const auto& title : table.header) {
        widths.push_back(title.size());
    }
    for (const auto& row : table.rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    const auto line = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size(); ++i) {
            out << row[i]
                << (i + 1 < row.size() ? std::string(widths[i] - row[i].size() + 2, ' ') : "");
        }
        out << '\n';
    };
    line(table.header);
    for (const auto& row : table.rows) {
        line(row);
    }
}

} // namespace korvel::history
